// One pass over IDF text straight to raw objects, remembering where each
// object stands in the text: the bytes that belong to it (the comments and
// blank lines before it, its fields, and the rest of the line of its ';'),
// so that an unchanged object can be written back exactly as it was read.
//
// The text is cut as the tokenizer cuts it (lines, '!' comments, text runs
// trimmed of blanks, ',' and ';'), except that a carriage return alone also
// ends a line: text from old Mac editors would otherwise be one line, and
// everything after its first comment mark would be lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tamrix/idf/parser.hpp"

namespace tamrix {

// Reads `text` into `out` (appending). On success `trailing` is where the
// text after the last object starts. Errors are the parser's, with the same
// lines and tokens the tokenizer would give.
ParseError read_idf(std::string_view text, std::vector<c_IDFObject>& out, size_t& trailing) noexcept;

// What read_idf finds, one object at a time, for a caller that builds its
// own objects: the class name and values are views into the text read.
// An object may throw std::bad_alloc, which ends the read with kNoMemory.
class ObjectSink {
 public:
  virtual void object(std::string_view class_name, const std::vector<std::string_view>& values,
                      const SourceSpan& span, int32_t first_line) = 0;

 protected:
  ~ObjectSink() = default;
};

// As read_idf, handing each object to `sink` as soon as it is read. Objects
// before a syntax error have been handed out.
ParseError read_idf(std::string_view text, ObjectSink& sink, size_t& trailing) noexcept;

// The 1-based line of each value of the object standing at `span` in
// `text`, whose first line is `first_line`; empty when the span does not
// hold exactly one object.
std::vector<int32_t> value_lines(std::string_view text, const SourceSpan& span, int32_t first_line);

// A comment written by hand on an object's lines, for keeping comments when
// the object is written in the standard layout.
struct UserComment {
  enum Where { kBefore, kClassLine, kBeforeField, kFieldLine };
  Where where;
  int field;              // kBeforeField / kFieldLine: the value index
  std::string_view text;  // from its '!', trailing blanks dropped
};

// The comments of the object at `span` that are not the writer's own
// ("!-" field comments, group headers, save headers).
std::vector<UserComment> user_comments(std::string_view text, const SourceSpan& span);

// Every comment line of `text` (the text after the last object) that a
// person wrote, in order.
std::vector<std::string_view> comment_lines(std::string_view text);

}  // namespace tamrix
