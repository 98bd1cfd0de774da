#include "tamrix/lexer/lexer_core.hpp"

#include <cstring>

#include "tamrix/utils/text.hpp"

namespace tamrix {

namespace {

void ignore_failure(const char*) noexcept {}

using LineScan = LexerCore::LineScan;

// Starts the scan of `line`, a view into `data`: only the bytes before the
// comment mark count.
LineScan start_scan(const char* data, std::string_view line) noexcept {
  LineScan scan;
  scan.begin = static_cast<size_t>(line.data() - data);
  const void* bang = std::memchr(line.data(), '!', line.size());
  size_t limit = bang ? static_cast<size_t>(static_cast<const char*>(bang) - line.data()) : line.size();
  scan.end = scan.begin + limit;
  scan.run = scan.begin;
  scan.step = LineScan::kRun;
  return scan;
}

// The next token of a line: a trimmed, non-empty text run, then the ',' or
// ';' that ends it; in IDD mode a backslash ends the run and the rest of the
// line is one more text token. False when the line has no more tokens.
bool scan_step(LineScan& scan, const char* data, bool is_idd, TokenType& type, std::string_view& text) noexcept {
  for (;;) {
    switch (scan.step) {
      case LineScan::kDone:
        return false;
      case LineScan::kComma:
      case LineScan::kSemicolon:
        type = scan.step == LineScan::kComma ? TOKEN_COMMA : TOKEN_SEMICOLON;
        text = scan.step == LineScan::kComma ? std::string_view(",") : std::string_view(";");
        scan.step = LineScan::kRun;
        return true;
      case LineScan::kTail:
        scan.step = LineScan::kDone;
        text = trim_view(std::string_view(data + scan.run, scan.end - scan.run));
        type = TOKEN_TEXT;
        return !text.empty();
      case LineScan::kRun: {
        size_t i = scan.run;
        while (i < scan.end) {
          char c = data[i];
          if (c == ',' || c == ';' || (c == '\\' && is_idd)) break;
          ++i;
        }
        std::string_view run = trim_view(std::string_view(data + scan.run, i - scan.run));
        if (i == scan.end) {
          scan.step = LineScan::kDone;
        } else if (data[i] == '\\') {
          scan.run = i;
          scan.step = LineScan::kTail;
        } else {
          scan.run = i + 1;
          scan.step = data[i] == ',' ? LineScan::kComma : LineScan::kSemicolon;
        }
        if (!run.empty()) {
          type = TOKEN_TEXT;
          text = run;
          return true;
        }
        break;
      }
    }
  }
}

// Appends every token of the line under `scan` to `out`.
void append_tokens(std::vector<Token>& out, LineScan scan, const char* data, bool is_idd) {
  TokenType type;
  std::string_view text;
  while (scan_step(scan, data, is_idd, type, text)) out.push_back(Token{type, std::string(text)});
}

}  // namespace

FailureReporter LexerCore::report_failure = ignore_failure;

void LexerCore::reset(std::string new_content, bool idd_mode) noexcept {
  content = std::move(new_content);
  pos = 0;
  line_num = 0;
  is_idd = idd_mode;
  buffer.clear();
  buffer_idx = 0;
  scanning_ = false;
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
  if (line_num < INT32_MAX) ++line_num;
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

// The line being handed out becomes buffered tokens, so that tokens from
// outside can follow it.
void LexerCore::materialize() {
  if (!scanning_) return;
  std::vector<Token> tokens;
  append_tokens(tokens, start_scan(content.data(), std::string_view(content.data() + scan_.begin, scan_.end - scan_.begin)),
                content.data(), is_idd);
  buffer = std::move(tokens);
  buffer_idx = scan_handed_;
  scanning_ = false;
}

void LexerCore::push_text(std::string_view run) {
  std::string_view text = trim_view(run);
  if (!text.empty()) buffer.push_back(Token{TOKEN_TEXT, std::string(text)});
}

void LexerCore::push_text_token(std::string& builder) noexcept {
  try {
    materialize();
    push_text(builder);
  } catch (...) {
    report_failure("tamrix.lexer.Lexer.push_text_token");
  }
  builder.clear();
}

void LexerCore::tokenize_line(const std::string& line) noexcept {
  try {
    materialize();
    append_tokens(buffer, start_scan(line.data(), line), line.data(), is_idd);
  } catch (...) {
    report_failure("tamrix.lexer.Lexer.tokenize_line");
  }
}

// The next token of the line being read, reading lines until one has a
// token; false at the end of the content. Only called once `buffer` is
// used up.
bool LexerCore::next_scanned(TokenType& type, std::string_view& text) noexcept {
  const char* data = content.data();
  if (scanning_ && scan_step(scan_, data, is_idd, type, text)) {
    ++scan_handed_;
    return true;
  }
  buffer.clear();
  buffer_idx = 0;
  scanning_ = false;
  std::string_view line;
  while (next_line(line)) {
    scan_ = start_scan(data, line);
    scanning_ = true;
    scan_handed_ = 0;
    if (scan_step(scan_, data, is_idd, type, text)) {
      scan_handed_ = 1;
      return true;
    }
  }
  scanning_ = false;
  return false;
}

Token LexerCore::next_token() noexcept {
  try {
    if (buffer_idx < buffer.size()) return buffer[buffer_idx++];
    TokenType type;
    std::string_view text;
    if (!next_scanned(type, text)) return Token{TOKEN_EOF, {}};
    return Token{type, std::string(text)};
  } catch (...) {
    report_failure("tamrix.lexer.Lexer.next_token");
    return Token{TOKEN_EOF, {}};
  }
}

Token LexerCore::take_token() {
  if (buffer_idx < buffer.size()) return std::move(buffer[buffer_idx++]);
  TokenType type;
  std::string_view text;
  if (!next_scanned(type, text)) return Token{TOKEN_EOF, {}};
  return Token{type, std::string(text)};
}

std::vector<Token> LexerCore::buffered_tokens(size_t& next_idx) const {
  if (!scanning_) {
    next_idx = buffer_idx;
    return buffer;
  }
  std::vector<Token> tokens;
  append_tokens(tokens, start_scan(content.data(), std::string_view(content.data() + scan_.begin, scan_.end - scan_.begin)),
                content.data(), is_idd);
  next_idx = scan_handed_;
  return tokens;
}

void LexerCore::restore_buffer(std::vector<Token> tokens) noexcept {
  buffer = std::move(tokens);
  buffer_idx = 0;
  scanning_ = false;
}

namespace {

bool is_version_class(std::string_view name) noexcept {
  constexpr std::string_view kVersion = "version";
  if (name.size() != kVersion.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kVersion[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> model_version(std::string_view data) {
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  size_t pos = data.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
  // Where the scan stands in the object being read.
  enum class At { kClass, kAfterClass, kVersionValue, kAfterValue, kInObject } at = At::kClass;
  bool version = false;
  std::string_view value;
  while (pos < data.size()) {
    const char* start = data.data() + pos;
    size_t remaining = data.size() - pos;
    const void* lf = std::memchr(start, '\n', remaining);
    size_t len = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) : remaining;
    pos += lf ? len + 1 : len;
    if (len > 0 && start[len - 1] == '\r') --len;
    LineScan scan = start_scan(data.data(), std::string_view(start, len));
    TokenType type;
    std::string_view text;
    while (scan_step(scan, data.data(), false, type, text)) {
      switch (at) {
        case At::kClass:
          if (type == TOKEN_TEXT) {
            version = is_version_class(text);
            at = At::kAfterClass;
          } else if (type == TOKEN_COMMA) {
            at = At::kInObject;
          }
          break;
        case At::kAfterClass:
          if (type == TOKEN_COMMA) {
            at = version ? At::kVersionValue : At::kInObject;
          } else if (type == TOKEN_SEMICOLON) {
            if (version) return std::string();
            at = At::kClass;
          } else {
            at = At::kInObject;  // two runs with no delimiter: not an object to trust
          }
          break;
        case At::kVersionValue:
          if (type != TOKEN_TEXT) return std::string();
          value = text;
          at = At::kAfterValue;
          break;
        case At::kAfterValue:
          if (type != TOKEN_TEXT) return std::string(value);
          at = At::kInObject;
          break;
        case At::kInObject:
          if (type == TOKEN_SEMICOLON) at = At::kClass;
          break;
      }
    }
  }
  return std::nullopt;
}

}  // namespace tamrix

