// Assembles the token stream of IDF text into raw objects: a class name and
// its field values, both as written. Only the shape of the text is checked;
// classes are matched against the dictionary later, by the loader.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tamrix/lexer/lexer_core.hpp"

namespace tamrix {

// Where an object stands in the text it was read from: byte offsets of the
// bytes that belong to it ([begin, end)) and of the start of the line (or
// of the part of it that belongs to the object) holding its class name.
struct SourceSpan {
  size_t begin = 0;
  size_t head = 0;
  size_t end = 0;
};

struct c_IDFObject {
  std::string class_name;           // as written, trimmed; may be empty
  std::vector<std::string> values;  // as written, trimmed; "" for an empty field
  SourceSpan span;                  // set by read_idf only
  int32_t first_line = 0;           // the line of span.begin (read_idf only)
};

enum class ParseErrorKind {
  kNone,
  kMissingDelimiter,  // two text runs with no ',' or ';' between them
  kUnterminated,      // the text ends inside an object
  kUnrecognizedToken,
  kNoMemory,
};

struct ParseError {
  ParseErrorKind kind = ParseErrorKind::kNone;
  int32_t line = 0;      // the lexer's line when the error was seen
  std::string token;     // the offending token's text
  int token_type = 0;    // the offending token's type
  explicit operator bool() const noexcept { return kind != ParseErrorKind::kNone; }
};

// Pulls tokens from `next_token()` until TOKEN_EOF and appends each completed
// object to `out`. `line_num` is read when an error is found. Objects
// completed before an error stay in `out`.
template <class NextToken>
ParseError parse_idf_tokens(NextToken&& next_token, const int32_t& line_num, std::vector<c_IDFObject>& out) {
  c_IDFObject current;
  std::string last_text;
  bool object_started = false;
  try {
    for (;;) {
      Token tok = next_token();
      switch (tok.type) {
        case TOKEN_EOF:
          if (object_started || !last_text.empty()) {
            return ParseError{ParseErrorKind::kUnterminated, line_num, std::move(tok.value), tok.type};
          }
          return {};
        case TOKEN_TEXT:
          if (!last_text.empty()) {
            return ParseError{ParseErrorKind::kMissingDelimiter, line_num, std::move(tok.value), tok.type};
          }
          last_text = std::move(tok.value);
          break;
        case TOKEN_COMMA:
        case TOKEN_SEMICOLON:
          if (object_started) {
            current.values.push_back(std::move(last_text));
          } else {
            current.class_name = std::move(last_text);
          }
          last_text.clear();
          if (tok.type == TOKEN_COMMA) {
            object_started = true;
          } else {
            out.push_back(std::move(current));
            current = c_IDFObject();
            object_started = false;
          }
          break;
        default:
          return ParseError{ParseErrorKind::kUnrecognizedToken, line_num, std::move(tok.value), tok.type};
      }
    }
  } catch (const std::bad_alloc&) {
    return ParseError{ParseErrorKind::kNoMemory, line_num, {}, 0};
  }
}

}  // namespace tamrix
