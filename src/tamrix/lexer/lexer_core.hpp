// The tokenizer for IDF and IDD text: lines, text runs, commas, semicolons
// and an end marker. Plain C++; the Python type in module.cpp wraps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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
  // Tokens handed in from outside (tokenize_line, push_text_token, a
  // restored state). The tokens of lines read from `content` are not stored:
  // they are cut from the line one at a time as they are asked for, so a
  // line of millions of fields costs no more memory than a short one.
  std::vector<Token> buffer;
  size_t buffer_idx = 0;      // next token of `buffer` to hand out
  int32_t line_num = 0;       // lines read so far (stops at INT32_MAX)
  bool is_idd = false;        // in IDD mode a backslash starts a tag
  std::string content;        // the whole text
  size_t pos = 0;             // where the next line starts

  static FailureReporter report_failure;

  // Restarts over new content.
  void reset(std::string new_content, bool idd_mode) noexcept;

  bool scan_next_line(std::string& line) noexcept;
  Token next_token() noexcept;
  // As next_token, but moves the token out of the buffer instead of copying
  // it: for readers that own their lexer and never look back. Throws
  // std::bad_alloc when the token cannot be made.
  Token take_token();
  void tokenize_line(const std::string& line) noexcept;
  void push_text_token(std::string& builder) noexcept;

  // The tokens of the line read last (or of `buffer`) and the index of the
  // next one to hand out, as if every line were tokenized whole: the
  // lexer's pickled state. May throw std::bad_alloc.
  std::vector<Token> buffered_tokens(size_t& next_idx) const;
  // Replaces the buffered tokens (a restored state); the line being read,
  // if any, is dropped.
  void restore_buffer(std::vector<Token> tokens) noexcept;

  // Where the scan of one line stands: offsets into the scanned text.
  struct LineScan {
    enum Step : uint8_t { kDone, kRun, kComma, kSemicolon, kTail };
    size_t begin = 0;   // first byte of the line
    size_t end = 0;     // its comment mark, or its end
    size_t run = 0;     // start of the next text run (kTail: the backslash)
    Step step = kDone;  // what comes next
  };

 private:
  bool next_line(std::string_view& line) noexcept;
  bool next_scanned(TokenType& type, std::string_view& text) noexcept;
  void materialize();
  void push_text(std::string_view run);

  LineScan scan_;            // the line of `content` being handed out
  bool scanning_ = false;    // scan_ holds the line read last
  size_t scan_handed_ = 0;   // tokens of that line handed out so far
};

// The first value of the first object of class `Version` (ASCII
// case-insensitive) in IDF text, read with the tokenizer's rules: comments
// after '!' are skipped, values are trimmed, a leading UTF-8 byte-order
// mark is passed over. The value counts only once the ',' or ';' after it
// has been seen, so a prefix of a file can be scanned first: nullopt means
// no complete Version value in `data` (the rest of the file may hold one).
// An empty string is a Version object whose first value is blank.
std::optional<std::string> model_version(std::string_view data);

}  // namespace tamrix
