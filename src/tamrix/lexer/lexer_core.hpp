// The tokenizer for IDF and IDD text: lines, text runs, commas, semicolons
// and an end marker. Plain C++; the Python type in module.cpp wraps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamrix {

// Numeric values are part of the interface (Lexer.test, parser messages).
enum TokenType : int {
  TOKEN_TEXT = 0,
  TOKEN_COMMA = 1,
  TOKEN_SEMICOLON = 2,
  TOKEN_EOF = 3,
  TOKEN_ERROR = 4,  // reserved, never produced
};

struct Token {
  TokenType type;
  std::string value;
};

// Called inside a catch block when a lexer step fails (memory exhaustion);
// the binding reports the failure through the interpreter. The step then
// carries on with a neutral result.
using FailureReporter = void (*)(const char* qualname) noexcept;

struct LexerCore {
  std::vector<Token> buffer;  // tokens of the line read last
  size_t buffer_idx = 0;      // next token of `buffer` to hand out
  int32_t line_num = 0;       // lines read so far
  bool is_idd = false;        // in IDD mode a backslash starts a tag
  std::string content;        // the whole text
  size_t pos = 0;             // where the next line starts

  static FailureReporter report_failure;

  // Restarts over new content.
  void reset(std::string new_content, bool idd_mode) noexcept;

  bool scan_next_line(std::string& line) noexcept;
  Token next_token() noexcept;
  // As next_token, but moves the token out of the buffer instead of copying
  // it: for readers that own their lexer and never look back.
  Token take_token() noexcept;
  void tokenize_line(const std::string& line) noexcept;
  void push_text_token(std::string& builder) noexcept;

 private:
  bool next_line(std::string_view& line) noexcept;
  void tokenize(std::string_view line) noexcept;
  bool refill() noexcept;
  void push_text(std::string_view run);
};

}  // namespace tamrix
