#include "tamrix/idf/reader.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

#include "tamrix/utils/text.hpp"

namespace tamrix {

namespace {

// A line of the text: [begin, end) without its break; `next` is where the
// following line starts. LF, CR LF and a lone CR all end a line.
struct Line {
  size_t begin = 0;
  size_t end = 0;
  size_t next = 0;
};

bool next_line(std::string_view text, size_t pos, Line& line) noexcept {
  if (pos >= text.size()) return false;
  const char* data = text.data();
  size_t i = pos;
  size_t n = text.size();
  // LF is the common break: find it first, then look for a CR before it.
  const void* lf = std::memchr(data + pos, '\n', n - pos);
  size_t lf_at = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : n;
  const void* cr = std::memchr(data + pos, '\r', lf_at - pos);
  if (cr != nullptr) {
    i = static_cast<size_t>(static_cast<const char*>(cr) - data);
    line.begin = pos;
    line.end = i;
    line.next = (i + 1 < n && data[i + 1] == '\n') ? i + 2 : i + 1;
    return true;
  }
  line.begin = pos;
  line.end = lf_at;
  line.next = lf_at < n ? lf_at + 1 : n;
  return true;
}

// The first ',' or ';' in [from, end) of `data`; `end` when there is none.
// Eight bytes at a time: a byte equal to the delimiter becomes zero after
// the XOR, and the lowest zero byte of a word is found exactly.
inline size_t find_delimiter(const char* data, size_t from, size_t end) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  size_t i = from;
  for (; i + 8 <= end; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    uint64_t comma = word ^ (kOnes * ',');
    uint64_t semicolon = word ^ (kOnes * ';');
    uint64_t found = ((comma - kOnes) & ~comma & kHighs) | ((semicolon - kOnes) & ~semicolon & kHighs);
    if (found != 0) {
      if constexpr (std::endian::native == std::endian::little) return i + (static_cast<size_t>(__builtin_ctzll(found)) >> 3);
      break;  // big-endian: the byte loop below finds it
    }
  }
  for (; i < end; ++i) {
    if (data[i] == ',' || data[i] == ';') return i;
  }
  return end;
}

// The reader's walk: tokens of each line, fed to the parser's rules, with
// the offsets that make up each object's span.
class Walk {
 public:
  Walk(std::string_view text, std::vector<c_IDFObject>& out, ClassFilter* filter)
      : text_(text), out_(out), filter_(filter) {}

  ParseError run(size_t& trailing) {
    // About one object per 600 bytes of model text (comments included).
    out_.reserve(out_.size() + text_.size() / 600 + 16);
    Line line;
    size_t pos = 0;
    while (next_line(text_, pos, line)) {
      if (line_num_ < INT32_MAX) ++line_num_;
      line_ = line;
      ParseError error = scan_line();
      if (error) return error;
      pos = line.next;
    }
    if (object_started_ || have_text_) {
      return ParseError{ParseErrorKind::kUnterminated, line_num_, {}, TOKEN_EOF};
    }
    trailing = span_begin_;
    return {};
  }

 private:
  ParseError scan_line() {
    const char* data = text_.data();
    const void* bang = std::memchr(data + line_.begin, '!', line_.end - line_.begin);
    size_t code_end = bang ? static_cast<size_t>(static_cast<const char*>(bang) - data) : line_.end;
    size_t run = line_.begin;
    for (size_t i = line_.begin; i <= code_end; ++i) {
      i = find_delimiter(data, i, code_end);
      bool at_end = i == code_end;
      char c = at_end ? '\0' : data[i];
      std::string_view piece = trim_view(std::string_view(data + run, i - run));
      if (!piece.empty()) {
        if (have_text_) {
          return ParseError{ParseErrorKind::kMissingDelimiter, line_num_, std::string(piece), TOKEN_TEXT};
        }
        have_text_ = true;
        text_piece_ = piece;
        if (!object_started_ && !head_set_) {
          // The class name: its line starts the object's own part.
          head_ = line_.begin > span_begin_ ? line_.begin : span_begin_;
          head_set_ = true;
        }
      }
      if (at_end) break;
      if (!object_started_ && !head_set_) {
        head_ = line_.begin > span_begin_ ? line_.begin : span_begin_;
        head_set_ = true;
      }
      delimiter(c == ';', i);
      run = i + 1;
      if (c == ';' && rest_is_blank_or_comment(i + 1, code_end)) break;
    }
    return {};
  }

  bool rest_is_blank_or_comment(size_t from, size_t code_end) const {
    return trim_view(std::string_view(text_.data() + from, code_end - from)).empty();
  }

  void delimiter(bool semicolon, size_t at) {
    if (object_started_) {
      pieces_.push_back(have_text_ ? text_piece_ : std::string_view());
    } else {
      current_.class_name.assign(have_text_ ? text_piece_ : std::string_view());
    }
    have_text_ = false;
    if (!semicolon) {
      object_started_ = true;
      return;
    }
    // The object ends with the rest of this line when that holds nothing
    // but blanks or a comment; otherwise the next object starts right here.
    size_t code_end = at + 1;
    const char* data = text_.data();
    const void* bang = std::memchr(data + line_.begin, '!', line_.end - line_.begin);
    size_t comment = bang ? static_cast<size_t>(static_cast<const char*>(bang) - data) : line_.end;
    while (code_end < comment && (data[code_end] == ' ' || data[code_end] == '\t')) ++code_end;
    size_t end = code_end >= comment ? line_.next : at + 1;
    current_.span = SourceSpan{span_begin_, head_, end};
    current_.first_line = first_line_;
    // The values are gathered as views first, so that each object's
    // vector is allocated once, at its size.
    if (keep_object()) {
      current_.values.reserve(pieces_.size());
      for (std::string_view piece : pieces_) current_.values.emplace_back(piece);
      out_.push_back(std::move(current_));
    }
    pieces_.clear();
    current_ = c_IDFObject();
    object_started_ = false;
    head_set_ = false;
    span_begin_ = end;
    first_line_ = end == line_.next ? line_num_ + 1 : line_num_;
  }

  // Whether the object just read is kept: no filter, or every class so far
  // known.
  bool keep_object() {
    if (filter_ == nullptr) return true;
    if (filter_->refused) return false;
    if (filter_->known(filter_->context, current_.class_name)) return true;
    filter_->refused = true;
    filter_->refused_name = current_.class_name;
    return false;
  }

  std::string_view text_;
  std::vector<c_IDFObject>& out_;
  ClassFilter* filter_;
  Line line_;
  int32_t line_num_ = 0;
  c_IDFObject current_;
  std::vector<std::string_view> pieces_;  // the values of the object being read
  bool object_started_ = false;
  bool have_text_ = false;
  std::string_view text_piece_;
  bool head_set_ = false;
  size_t head_ = 0;
  size_t span_begin_ = 0;
  int32_t first_line_ = 1;
};

// The comment part of a line ([bang, end), trailing blanks dropped) and
// where its code ends; no comment: bang == end.
struct LineParts {
  size_t code_end;
  std::string_view comment;
};

LineParts split_comment(std::string_view text, const Line& line) {
  const char* data = text.data();
  const void* bang = std::memchr(data + line.begin, '!', line.end - line.begin);
  if (bang == nullptr) return {line.end, {}};
  size_t at = static_cast<size_t>(static_cast<const char*>(bang) - data);
  std::string_view comment(data + at, line.end - at);
  while (!comment.empty() && (comment.back() == ' ' || comment.back() == '\t')) comment.remove_suffix(1);
  return {at, comment};
}

// Comments the writer makes itself: field names, group headers and the
// header of a saved file. Kept, they would pile up with every round trip.
bool is_written_comment(std::string_view comment) {
  if (comment.starts_with("!-")) return true;
  std::string_view body = trim_view(comment.substr(1));
  if (body == "Generated using Tamrix.py" || body.starts_with("Saved at: ")) return true;
  return body.size() >= 6 && body.starts_with("***") && body.ends_with("***");
}

}  // namespace

ParseError read_idf(std::string_view text, std::vector<c_IDFObject>& out, size_t& trailing,
                    ClassFilter* filter) noexcept {
  try {
    Walk walk(text, out, filter);
    return walk.run(trailing);
  } catch (const std::bad_alloc&) {
    return ParseError{ParseErrorKind::kNoMemory, 0, {}, 0};
  }
}

std::vector<int32_t> value_lines(std::string_view text, const SourceSpan& span, int32_t first_line) {
  std::vector<int32_t> lines;
  if (span.end > text.size() || span.begin > span.end) return lines;
  std::string_view part = text.substr(0, span.end);
  int32_t line_num = first_line - 1;
  bool started = false;
  bool have_text = false;
  int32_t text_line = 0;
  Line line;
  size_t pos = span.begin;
  while (next_line(part, pos, line)) {
    ++line_num;
    LineParts parts = split_comment(part, line);
    size_t run = line.begin;
    for (size_t i = line.begin; i <= parts.code_end; ++i) {
      bool at_end = i == parts.code_end;
      char c = at_end ? '\0' : part[i];
      if (!at_end && c != ',' && c != ';') continue;
      if (!trim_view(part.substr(run, i - run)).empty() && !have_text) {
        have_text = true;
        text_line = line_num;
      }
      if (at_end) break;
      if (started) lines.push_back(have_text ? text_line : line_num);
      started = true;
      have_text = false;
      run = i + 1;
      if (c == ';') return lines;
    }
    pos = line.next;
  }
  return {};
}

std::vector<UserComment> user_comments(std::string_view text, const SourceSpan& span) {
  std::vector<UserComment> found;
  if (span.end > text.size() || span.begin > span.end) return found;
  std::string_view part = text.substr(0, span.end);
  int separators = 0;  // ',' and ';' seen so far: the first ends the class name
  bool code_seen = false;
  Line line;
  size_t pos = span.begin;
  while (next_line(part, pos, line)) {
    LineParts parts = split_comment(part, line);
    int before = separators;
    bool code = false;
    for (size_t i = line.begin; i < parts.code_end; ++i) {
      char c = part[i];
      if (c == ',' || c == ';') {
        ++separators;
        code = true;
      } else if (c != ' ' && c != '\t') {
        code = true;
      }
    }
    if (!parts.comment.empty() && !is_written_comment(parts.comment)) {
      UserComment comment{UserComment::kBefore, 0, parts.comment};
      if (!code) {
        if (code_seen && separators == 0) {
          comment.where = UserComment::kClassLine;
        } else if (code_seen) {
          comment.where = UserComment::kBeforeField;
          comment.field = separators - 1;
        }
      } else {
        // The last separator on the line names the field; a line of text
        // alone belongs to the field its next separator ends.
        int last = separators > before ? separators : separators + 1;
        if (last <= 1) {
          comment.where = UserComment::kClassLine;
        } else {
          comment.where = UserComment::kFieldLine;
          comment.field = last - 2;
        }
      }
      found.push_back(comment);
    }
    code_seen = code_seen || code;
    pos = line.next;
  }
  return found;
}

std::vector<std::string_view> comment_lines(std::string_view text) {
  std::vector<std::string_view> found;
  Line line;
  size_t pos = 0;
  while (next_line(text, pos, line)) {
    LineParts parts = split_comment(text, line);
    if (!parts.comment.empty() && !is_written_comment(parts.comment)) found.push_back(parts.comment);
    pos = line.next;
  }
  return found;
}

}  // namespace tamrix
