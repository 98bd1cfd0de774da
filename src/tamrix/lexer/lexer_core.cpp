#include "tamrix/lexer/lexer_core.hpp"

#include <cstring>

#include "tamrix/utils/text.hpp"

namespace tamrix {

namespace {
void ignore_failure(const char*) noexcept {}
}  // namespace

FailureReporter LexerCore::report_failure = ignore_failure;

void LexerCore::reset(std::string new_content, bool idd_mode) noexcept {
  content = std::move(new_content);
  pos = 0;
  line_num = 0;
  is_idd = idd_mode;
  buffer.clear();
  buffer_idx = 0;
}

// The next line as a view into `content`, without its line break (LF, or
// CR LF); false at the end of the content.
bool LexerCore::next_line(std::string_view& line) noexcept {
  if (pos >= content.size()) return false;
  const char* start = content.data() + pos;
  size_t remaining = content.size() - pos;
  const void* lf = std::memchr(start, '\n', remaining);
  size_t len;
  if (lf != nullptr) {
    len = static_cast<size_t>(static_cast<const char*>(lf) - start);
    pos += len + 1;
  } else {
    len = remaining;
    pos = content.size();
  }
  if (len > 0 && start[len - 1] == '\r') --len;
  line = std::string_view(start, len);
  ++line_num;
  return true;
}

bool LexerCore::scan_next_line(std::string& line) noexcept {
  try {
    std::string_view view;
    if (!next_line(view)) return false;
    line.assign(view);
    return true;
  } catch (...) {
    report_failure("tamrix.lexer.Lexer.scan_next_line");
    return false;
  }
}

void LexerCore::push_text(std::string_view run) {
  std::string_view text = trim_view(run);
  if (!text.empty()) buffer.push_back(Token{TOKEN_TEXT, std::string(text)});
}

void LexerCore::push_text_token(std::string& builder) noexcept {
  try {
    push_text(builder);
  } catch (...) {
    report_failure("tamrix.lexer.Lexer.push_text_token");
  }
  builder.clear();
}

void LexerCore::tokenize_line(const std::string& line) noexcept { tokenize(line); }

// One pass over the bytes before the comment mark. Text runs are taken as
// spans of the line rather than built byte by byte; the tokens are the same.
void LexerCore::tokenize(std::string_view line) noexcept {
  try {
    const char* data = line.data();
    const void* bang = std::memchr(data, '!', line.size());
    size_t limit = bang ? static_cast<size_t>(static_cast<const char*>(bang) - data) : line.size();
    size_t run_start = 0;
    for (size_t i = 0; i < limit; ++i) {
      char c = data[i];
      if (c == ',' || c == ';') {
        push_text(std::string_view(data + run_start, i - run_start));
        if (c == ',') {
          buffer.push_back(Token{TOKEN_COMMA, ","});
        } else {
          buffer.push_back(Token{TOKEN_SEMICOLON, ";"});
        }
        run_start = i + 1;
      } else if (c == '\\' && is_idd) {
        push_text(std::string_view(data + run_start, i - run_start));
        push_text(std::string_view(data + i, limit - i));
        return;
      }
    }
    push_text(std::string_view(data + run_start, limit - run_start));
  } catch (...) {
    report_failure("tamrix.lexer.Lexer.tokenize_line");
  }
}

// Reads lines until one yields tokens; false at the end of the content.
bool LexerCore::refill() noexcept {
  buffer.clear();
  buffer_idx = 0;
  std::string_view line;
  while (next_line(line)) {
    tokenize(line);
    if (!buffer.empty()) return true;
  }
  return false;
}

Token LexerCore::next_token() noexcept {
  if (buffer_idx >= buffer.size() && !refill()) return Token{TOKEN_EOF, {}};
  try {
    return buffer[buffer_idx++];
  } catch (...) {
    report_failure("tamrix.lexer.Lexer.next_token");
    return Token{TOKEN_EOF, {}};
  }
}

Token LexerCore::take_token() noexcept {
  if (buffer_idx >= buffer.size() && !refill()) return Token{TOKEN_EOF, {}};
  return std::move(buffer[buffer_idx++]);
}

}  // namespace tamrix
