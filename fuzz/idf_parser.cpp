// IDF text -> tokens -> raw objects -> text again. Checks, besides the
// sanitizers: the tokenizer hands out what a whole-line tokenizer would (both
// modes, also after a mid-line save and restore of its state, through
// next_token and take_token alike); the model's one-pass reader gives what
// the tokenizer and parser give, and its spans cut the text into pieces
// that each read back as their one object; the values a model keeps
// (records into the text, or copied out) are the reader's, each followed by
// a byte that ends it; and written objects, with and without comments, read
// back the same.
#include <algorithm>
#include <memory>

#include "tamrix/idf/parser.hpp"
#include "tamrix/idf/reader.hpp"
#include "tamrix/idf/writer.hpp"
#include "tamrix/utils/text.hpp"

using namespace tamrix;

namespace {

// Every line tokenized in full before its first token is handed out.
struct WholeLineLexer {
  std::string_view text;
  bool idd;
  size_t pos = 0, idx = 0;
  int32_t line_num = 0;
  std::vector<Token> buf;

  void push(std::string_view run) {
    if (!(run = trim_view(run)).empty()) buf.push_back({TOKEN_TEXT, std::string(run)});
  }
  Token next() {
    while (idx >= buf.size()) {
      buf.clear(), idx = 0;
      if (pos >= text.size()) return {TOKEN_EOF, {}};
      size_t lf = std::min(text.find('\n', pos), text.size());
      std::string_view line = text.substr(pos, lf - pos);
      pos = lf + 1, ++line_num;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      line = line.substr(0, line.find('!'));
      size_t start = 0, i = 0;
      for (; i < line.size(); ++i) {
        if (line[i] == ',' || line[i] == ';') {
          push(line.substr(start, i - start));
          buf.push_back({line[i] == ',' ? TOKEN_COMMA : TOKEN_SEMICOLON, std::string(1, line[i])});
          start = i + 1;
        } else if (line[i] == '\\' && idd) {
          push(line.substr(start, i - start));
          start = i, i = line.size();
        }
      }
      push(line.substr(start));
    }
    return buf[idx++];
  }
};

bool same(const Token& a, const Token& b) { return a.type == b.type && a.value == b.value; }

void check_tokens(const std::string& text, bool idd, size_t save_at) {
  WholeLineLexer ref{text, idd};
  LexerCore lexer;
  lexer.reset(text, idd);
  for (size_t k = 0;; ++k) {
    if (k == save_at) {  // what pickling does
      size_t next = 0;
      std::vector<Token> tokens = lexer.buffered_tokens(next);
      if (!std::equal(tokens.begin(), tokens.end(), ref.buf.begin(), ref.buf.end(), same) || next != ref.idx) {
        __builtin_trap();
      }
      LexerCore restored;
      restored.reset(text, idd);
      restored.restore_buffer(std::move(tokens));
      restored.buffer_idx = next, restored.pos = lexer.pos, restored.line_num = lexer.line_num;
      lexer = std::move(restored);
    }
    Token want = ref.next();
    Token got = (k & 1) ? lexer.take_token() : lexer.next_token();
    if (!same(got, want) || lexer.line_num != ref.line_num) __builtin_trap();
    if (want.type == TOKEN_EOF) return;
  }
}

ParseError parse(const std::string& text, std::vector<c_IDFObject>& out) {
  LexerCore lexer;
  lexer.reset(text, false);
  return parse_idf_tokens([&] { return lexer.take_token(); }, lexer.line_num, out);
}

std::string field_name(const ClassDef*, int index, bool) { return "Field " + std::to_string(index); }

// The reader ends lines at a lone CR too; the tokenizer does not.
std::string lone_cr_as_lf(const std::string& text) {
  std::string out = text;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r' && (i + 1 == out.size() || out[i + 1] != '\n')) out[i] = '\n';
  }
  return out;
}

// The values as a model keeps them: records into the text read.
struct KeptValues final : ObjectSink {
  std::shared_ptr<const std::string> text;
  std::vector<ValueList> lists;
  void object(std::string_view, const std::vector<std::string_view>& values, const SourceSpan& span,
              int32_t) override {
    lists.push_back(ValueList::in_text(std::shared_ptr<const char>(text, text->data() + span.head), values.data(),
                                       values.size()));
  }
};

bool ends_value(char c) { return static_cast<unsigned char>(c) <= ' ' || c == ',' || c == ';' || c == '!'; }

void check_kept(const ValueList& list, const std::vector<std::string>& want) {
  if (!(list == want)) __builtin_trap();
  for (std::string_view value : list) {
    if (!value.empty() && !ends_value(value.data()[value.size()])) __builtin_trap();
  }
}

void check_reader(const std::string& text) {
  std::vector<c_IDFObject> want, got;
  ParseError want_error = parse(lone_cr_as_lf(text), want);
  size_t trailing = 0;
  ParseError got_error = read_idf(text, got, trailing);
  if (want_error.kind != got_error.kind) __builtin_trap();
  if (want_error) {
    if (want_error.line != got_error.line || want_error.token != got_error.token) __builtin_trap();
    return;
  }
  if (want.size() != got.size()) __builtin_trap();
  size_t at = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const c_IDFObject& obj = got[i];
    if (obj.class_name != want[i].class_name || obj.values != want[i].values) __builtin_trap();
    const SourceSpan& span = obj.span;
    if (span.begin != at || span.head < span.begin || span.end < span.head || span.end > text.size()) __builtin_trap();
    at = span.end;
    // The object's own bytes read back as that object alone, and its lines
    // are one per value, rising.
    std::vector<c_IDFObject> alone;
    size_t rest = 0;
    std::string piece = text.substr(span.begin, span.end - span.begin);
    if (read_idf(piece, alone, rest) || alone.size() != 1 || alone[0].values != obj.values) __builtin_trap();
    if (trim_view(std::string_view(piece).substr(rest)).size() != 0) __builtin_trap();
    std::vector<int32_t> lines = value_lines(text, span, obj.first_line);
    if (lines.size() != obj.values.size() || !std::is_sorted(lines.begin(), lines.end())) __builtin_trap();
    if (!lines.empty() && lines.front() < obj.first_line) __builtin_trap();
    std::vector<UserComment> comments = user_comments(text, span);
    ClassDef cls;
    std::string out;
    write_object(out, generate_format_config(), obj.class_name, obj.values, cls, field_name, comments, true);
    std::vector<c_IDFObject> back;
    if (read_idf(out, back, rest) || back.size() != 1 || back[0].class_name != obj.class_name) __builtin_trap();
  }
  if (trailing != at) __builtin_trap();
  KeptValues kept;
  kept.text = std::make_shared<const std::string>(text);
  if (read_idf(*kept.text, kept, trailing) || kept.lists.size() != got.size()) __builtin_trap();
  for (size_t i = 0; i < got.size(); ++i) {
    check_kept(kept.lists[i], got[i].values);
    check_kept(kept.lists[i].owned(), got[i].values);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  check_tokens(text, false, size % 13);
  check_tokens(text, true, size % 7);
  check_reader(text);

  std::vector<c_IDFObject> objects, again;
  if (parse(text, objects)) return 0;

  ClassDef cls;
  cls.min_fields = static_cast<int>(size % 4);
  for (const FormatConfig& config : {generate_format_config(), FormatConfig{"", "", 0, true}}) {
    std::string out;
    for (const c_IDFObject& obj : objects) write_object(out, config, obj.class_name, obj.values, cls, field_name);
    again.clear();
    if (parse(out, again) || again.size() != objects.size()) __builtin_trap();
    auto trimmed = [](std::vector<std::string> v) {  // trailing empty fields are not written
      while (!v.empty() && v.back().empty()) v.pop_back();
      return v;
    };
    for (size_t i = 0; i < objects.size(); ++i) {
      if (again[i].class_name != objects[i].class_name || trimmed(again[i].values) != trimmed(objects[i].values)) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
