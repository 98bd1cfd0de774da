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

// Tells the reader which class names the caller can use. From the first
// object whose class `known` refuses, the reader keeps no more objects but
// reads on, so that a syntax error further down is still the error given:
// a text that cannot be loaded costs no more memory than its good part.
struct ClassFilter {
  bool (*known)(void* context, std::string_view class_name) = nullptr;
  void* context = nullptr;
  bool refused = false;
  std::string refused_name;  // the first class refused, as written
};

// Reads `text` into `out` (appending). On success `trailing` is where the
// text after the last object starts. Errors are the parser's, with the same
// lines and tokens the tokenizer would give. With a filter, objects are
// kept only up to the first unknown class (see ClassFilter).
ParseError read_idf(std::string_view text, std::vector<c_IDFObject>& out, size_t& trailing,
                    ClassFilter* filter = nullptr) noexcept;

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
