// Reads dictionary text. The grammar, after the tokenizer (IDD mode) has
// dropped comments and turned every backslash tag into one text token:
//
//   dictionary := (tag | class)*
//   class      := NAME (';' tag* | ',' tag* field+)
//   field      := CODE (',' | ';') tag*      -- the last field ends with ';'
//
// where CODE is A or N followed by digits. Classes are told from fields by
// this grammar alone, never by indentation. A \group tag names the group of
// the classes that follow it; other tags attach to the class (before its
// first field) or to the field just read.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <string>
#include <unordered_map>

#include "tamrix/idd/idd_core.hpp"
#include "tamrix/lexer/lexer_core.hpp"  // TokenType
#include "tamrix/utils/file.hpp"
#include "tamrix/utils/text.hpp"

namespace tamrix {

namespace {

bool is_field_code(std::string_view s) {
  if (s.size() < 2) return false;
  char c = ascii_upper(s[0]);
  if (c != 'A' && c != 'N') return false;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

bool is_tag_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// "choice\"" and "Alpha" both name their type: letter case and stray
// trailing punctuation are ignored.
FieldType parse_field_type(std::string_view word) {
  std::string w = to_ascii_lower(trim_view(word));
  while (!w.empty() && !((w.back() >= 'a' && w.back() <= 'z') || (w.back() >= '0' && w.back() <= '9'))) {
    w.pop_back();
  }
  if (w == "integer") return FIELDTYPE_INTEGER;
  if (w == "real") return FIELDTYPE_REAL;
  if (w == "alpha" || w == "external-list") return FIELDTYPE_ALPHA;
  if (w == "choice") return FIELDTYPE_CHOICE;
  if (w == "object-list") return FIELDTYPE_OBJLIST;
  if (w == "node") return FIELDTYPE_NODE;
  return FIELDTYPE_DEFAULT;
}

// Always with a '.' decimal point: strtod would follow the host's numeric
// locale, and a program that set, say, a German one could not read "0.5".
bool parse_double(std::string_view text, double& out) {
  std::string_view s = trim_view(text);
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  double v = 0.0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  out = v;
  return true;
}

bool parse_count(std::string_view text, int& out) {
  std::string_view s = trim_view(text);
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

// The leading integer of "\extensible:4 - repeat last four fields".
bool parse_leading_count(std::string_view text, int& out) {
  size_t n = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
  if (n == 0 || n > 9) return false;
  return parse_count(text.substr(0, n), out);
}

// Tags that carry something we keep; every other tag (\memo, \note,
// \ip-units, \retaincase, ...) is accepted and ignored.
enum class Tag {
  kOther,
  kGroup,
  kMinFields,
  kExtensible,
  kUniqueObject,
  kRequiredObject,
  kFirstFieldTag,
  kField = kFirstFieldTag,
  kType,
  kKey,
  kDefault,
  kUnits,
  kRequiredField,
  kAutosizable,
  kAutocalculatable,
  kReference,
  kObjectList,
  kBeginExtensible,
  kMinimum,
  kMaximum,
};

// `word` is ASCII-lower-cased.
Tag tag_of(std::string_view word) {
  if (word.empty()) return Tag::kOther;
  switch (word[0]) {
    case 'a':
      if (word == "autosizable") return Tag::kAutosizable;
      if (word == "autocalculatable") return Tag::kAutocalculatable;
      break;
    case 'b':
      if (word == "begin-extensible") return Tag::kBeginExtensible;
      break;
    case 'd':
      if (word == "default") return Tag::kDefault;
      break;
    case 'e':
      if (word == "extensible") return Tag::kExtensible;
      break;
    case 'f':
      if (word == "field") return Tag::kField;
      break;
    case 'g':
      if (word == "group") return Tag::kGroup;
      break;
    case 'k':
      if (word == "key") return Tag::kKey;
      break;
    case 'm':
      if (word == "min-fields") return Tag::kMinFields;
      if (word == "minimum") return Tag::kMinimum;
      if (word == "maximum") return Tag::kMaximum;
      break;
    case 'o':
      if (word == "object-list") return Tag::kObjectList;
      break;
    case 'r':
      if (word == "reference") return Tag::kReference;
      if (word == "required-field") return Tag::kRequiredField;
      if (word == "required-object") return Tag::kRequiredObject;
      break;
    case 't':
      if (word == "type") return Tag::kType;
      break;
    case 'u':
      if (word == "units") return Tag::kUnits;
      if (word == "unique-object") return Tag::kUniqueObject;
      break;
    default:
      break;
  }
  return Tag::kOther;
}

// The tokens of dictionary text, cut as the tokenizer cuts them in IDD
// mode (lines, '!' comments, trimmed text runs, ',' and ';', a backslash
// tag running to the end of its line) but handed out as views into the
// text: no token is copied.
class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}

  // The next token; TOKEN_EOF at the end of the text.
  TokenType next(std::string_view& value) noexcept {
    for (;;) {
      switch (step_) {
        case kComma:
        case kSemicolon: {
          TokenType type = step_ == kComma ? TOKEN_COMMA : TOKEN_SEMICOLON;
          step_ = kRun;
          return type;
        }
        case kTail:
          step_ = kDone;
          value = trim_view(std::string_view(text_.data() + run_, end_ - run_));
          if (!value.empty()) return TOKEN_TEXT;
          break;
        case kRun: {
          const char* data = text_.data();
          size_t i = run_;
          while (i < end_ && !kStops[static_cast<unsigned char>(data[i])]) ++i;
          value = trim_view(std::string_view(data + run_, i - run_));
          if (i == end_) {
            step_ = kDone;
          } else if (data[i] == '\\') {
            run_ = i;
            step_ = kTail;
          } else {
            run_ = i + 1;
            step_ = data[i] == ',' ? kComma : kSemicolon;
          }
          if (!value.empty()) return TOKEN_TEXT;
          break;
        }
        case kDone:
          if (!next_line()) return TOKEN_EOF;
          break;
      }
    }
  }

  // Lines read so far: the line of the token handed out last.
  int32_t line_num() const noexcept { return line_num_; }

 private:
  bool next_line() noexcept {
    if (pos_ >= text_.size()) return false;
    const char* start = text_.data() + pos_;
    size_t remaining = text_.size() - pos_;
    const void* lf = std::memchr(start, '\n', remaining);
    size_t len = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start) : remaining;
    size_t begin = pos_;
    pos_ = lf != nullptr ? pos_ + len + 1 : text_.size();
    if (len > 0 && start[len - 1] == '\r') --len;
    if (line_num_ < INT32_MAX) ++line_num_;
    const void* bang = std::memchr(start, '!', len);
    end_ = begin + (bang != nullptr ? static_cast<size_t>(static_cast<const char*>(bang) - start) : len);
    run_ = begin;
    step_ = kRun;
    return true;
  }

  enum Step { kDone, kRun, kComma, kSemicolon, kTail };
  // The bytes that end a text run.
  static constexpr auto kStops = byte_set(",;\\");
  std::string_view text_;
  size_t pos_ = 0;    // where the next line starts
  size_t end_ = 0;    // the current line's comment mark, or its end
  size_t run_ = 0;    // start of the next text run (kTail: the backslash)
  Step step_ = kDone;
  int32_t line_num_ = 0;
};

class Reader {
 public:
  Reader(std::string_view text, c_IDD& out) : out_(out), text_(text), tokens_(text) {}

  IddError run() {
    IddError error = read();
    // Storage that grew past its first room moved: the classes read so far
    // point into it again.
    FieldDef* at = out_.field_storage.data();
    for (ClassDef& cls : out_.ordered_classes) {
      cls.fields = FieldList(at, cls.fields.size());
      at += cls.fields.size();
    }
    return error;
  }

 private:
  IddError read() {
    out_.version = idd_version_line(text_);
    out_.class_map.clear();
    out_.ordered_classes.clear();
    out_.ordered_classes.reserve(text_.size() / 2048 + 16);
    // Room for every field (about one per 60 bytes of dictionary text, one
    // per 40 allowed for), on huge pages where the system gives them: the
    // fields are most of a dictionary's memory.
    out_.field_storage.clear();
    // Capped: a text that is mostly comments must not reserve a lot it
    // never uses; past the room the storage simply grows.
    out_.field_storage.reserve(std::min<size_t>(text_.size() / 40, 1 << 18) + 64);
    advise_huge_pages(out_.field_storage.data(), out_.field_storage.capacity() * sizeof(FieldDef));
    for (;;) {
      std::string_view value;
      TokenType type = tokens_.next(value);
      switch (type) {
        case TOKEN_TEXT:
          if (value[0] == '\\') {
            if (!pending_.empty()) return fail("missing ',' or ';' after '" + std::string(pending_) + "'");
            if (IddError e = on_tag(value)) return e;
          } else {
            if (!pending_.empty()) {
              return fail("missing ',' or ';' between '" + std::string(pending_) + "' and '" + std::string(value) +
                          "'");
            }
            pending_ = value;
          }
          break;
        case TOKEN_COMMA:
        case TOKEN_SEMICOLON:
          if (IddError e = on_delimiter(type == TOKEN_SEMICOLON)) return e;
          break;
        default:
          if (!pending_.empty()) {
            return fail("'" + std::string(pending_) + "' is not closed by ',' or ';' before the end of the text");
          }
          if (in_class_) {
            return fail("class '" + current().name + "' is not closed by ';' before the end of the text");
          }
          if (IddError e = finish_class()) return e;
          return {};
      }
    }
  }

  IddError fail(std::string message) const { return IddError{tokens_.line_num(), std::move(message)}; }

  ClassDef& current() { return out_.ordered_classes.back(); }
  bool have_class() const { return !out_.ordered_classes.empty(); }

  IddError on_delimiter(bool closes) {
    if (pending_.empty()) {
      return fail(in_class_ ? "empty field code in class '" + current().name + "'" : "missing class name before '" +
                                                                                      std::string(closes ? ";" : ",") +
                                                                                      "'");
    }
    std::string_view text = pending_;
    pending_ = {};
    if (!in_class_) {
      if (is_field_code(text)) {
        if (!have_class()) return fail("field '" + std::string(text) + "' before any class");
        return fail("field '" + std::string(text) + "' after the end of class '" + current().name +
                    "' (closed early by ';'?)");
      }
      if (IddError e = start_class(std::string(text))) return e;
      in_class_ = !closes;
      return {};
    }
    if (!is_field_code(text)) {
      return fail("expected a field code (A1, N1, ...) in class '" + current().name + "', found '" +
                  std::string(text) + "' (is the class before it missing its ';'?)");
    }
    FieldDef& field = out_.field_storage.emplace_back();
    ++field_count_;
    field.field_type = ascii_upper(text[0]) == 'N' ? FIELDTYPE_REAL : FIELDTYPE_ALPHA;
    field.code.assign(text);
    has_field_ = true;
    if (closes) in_class_ = false;
    return {};
  }

  IddError start_class(std::string name) {
    if (IddError e = finish_class()) return e;
    std::string key = to_ascii_upper(name);
    if (out_.class_map.count(key)) return fail("class '" + name + "' is defined twice");
    out_.class_map.emplace(std::move(key), out_.ordered_classes.size());
    ClassDef cls;
    cls.name = std::move(name);
    cls.group = group_;
    out_.ordered_classes.push_back(std::move(cls));
    has_field_ = false;
    extensible_size_ = 0;
    begin_marked_ = -1;
    class_line_ = tokens_.line_num();
    return {};
  }

  IddError on_tag(std::string_view token) {
    size_t n = 1;
    while (n < token.size() && is_tag_char(token[n])) ++n;
    // Lower-cased into a small buffer: every tag we keep is short, so a
    // longer word is one we ignore.
    char buffer[24];
    std::string_view word;
    Tag tag = Tag::kOther;
    if (n - 1 <= sizeof buffer) {
      for (size_t i = 1; i < n; ++i) buffer[i - 1] = ascii_lower(token[i]);
      word = std::string_view(buffer, n - 1);
      tag = tag_of(word);
    }
    std::string_view rest = token.substr(n);
    std::string_view value = trim_view(rest);

    if (tag == Tag::kGroup) {
      group_ = std::string(value);
      return {};
    }
    if (!have_class()) {
      if (tag >= Tag::kFirstFieldTag) return fail("field tag '\\" + std::string(word) + "' before any class");
      return {};
    }

    ClassDef& cls = current();
    // Class-level tags apply wherever they stand within the class.
    switch (tag) {
      case Tag::kMinFields: {
        int count = 0;
        if (!parse_count(value, count)) {
          return fail("\\min-fields needs a whole number, found '" + std::string(value) + "'");
        }
        cls.min_fields = count;
        return {};
      }
      case Tag::kExtensible: {
        int count = 0;
        if (rest.empty() || rest[0] != ':' || !parse_leading_count(rest.substr(1), count) || count < 1) {
          return fail("\\extensible needs a number of fields, as in '\\extensible:3'");
        }
        extensible_size_ = count;
        return {};
      }
      case Tag::kUniqueObject:
        cls.unique_object = true;
        return {};
      case Tag::kRequiredObject:
        cls.required_object = true;
        return {};
      default:
        break;
    }
    if (!has_field_ || tag < Tag::kFirstFieldTag) return {};  // \memo, \note, ... or no field yet

    FieldDef& field = out_.field_storage.back();
    switch (tag) {
      case Tag::kField:
        field.name = std::string(value);
        break;
      case Tag::kType:
        field.field_type = parse_field_type(value);
        break;
      case Tag::kKey:
        field.choices.emplace_back(value);
        break;
      case Tag::kDefault:
        field.default_val = std::string(value);
        break;
      case Tag::kUnits:
        field.units = std::string(value);
        break;
      case Tag::kRequiredField:
        field.required = true;
        break;
      case Tag::kAutosizable:
        field.autosizable = true;
        break;
      case Tag::kAutocalculatable:
        field.autocalculatable = true;
        break;
      case Tag::kReference:
        if (!value.empty()) field.references.emplace_back(value);
        break;
      case Tag::kObjectList:
        if (!value.empty()) field.object_lists.emplace_back(value);
        break;
      case Tag::kBeginExtensible:
        begin_marked_ = static_cast<int>(field_count_) - 1;
        break;
      case Tag::kMinimum:
      case Tag::kMaximum: {
        // "\minimum> 0", "\minimum >0" and "\minimum 0" all occur.
        bool exclusive = !value.empty() && (value[0] == '>' || value[0] == '<');
        std::string_view number = exclusive ? value.substr(1) : value;
        double bound = 0.0;
        if (!parse_double(number, bound)) {
          return fail("\\" + std::string(word) + " needs a number, found '" + std::string(trim_view(number)) + "'");
        }
        if (tag == Tag::kMinimum) {
          field.has_minimum = true;
          field.minimum_exclusive = exclusive;
          field.minimum = bound;
        } else {
          field.has_maximum = true;
          field.maximum_exclusive = exclusive;
          field.maximum = bound;
        }
        break;
      }
      default:
        break;
    }
    return {};
  }

  // Completes the class read last: names, lookup map, defaults, extensible
  // groups.
  IddError finish_class() {
    if (!have_class() || finished_ == out_.ordered_classes.size()) return {};
    finished_ = out_.ordered_classes.size();
    ClassDef& cls = current();
    // The class's fields are the last ones read into the storage.
    cls.fields = FieldList(out_.field_storage.data() + (out_.field_storage.size() - field_count_), field_count_);
    field_count_ = 0;

    std::vector<bool> unnamed(cls.fields.size());
    for (size_t i = 0; i < cls.fields.size(); ++i) {
      if (cls.fields[i].name.empty()) {
        unnamed[i] = true;
        cls.fields[i].name = cls.fields[i].code;
      }
    }

    if (extensible_size_ > 0) {
      int declared = static_cast<int>(cls.fields.size());
      int begin = begin_marked_ >= 0 ? begin_marked_ : declared - extensible_size_;
      if (begin < 0 || begin + extensible_size_ > declared) {
        return IddError{class_line_, "class '" + cls.name + "' declares \\extensible:" +
                                         std::to_string(extensible_size_) + " but has too few fields for one group"};
      }
      ExtensibleDef& ext = cls.extensible;
      ext.is_extensible = true;
      ext.begin_index = begin;
      ext.size = extensible_size_;
      for (int j = 0; j < extensible_size_; ++j) {
        size_t first = static_cast<size_t>(begin + j);
        const std::string& name = cls.fields[first].name;
        ExtPattern p;
        if (unnamed[first]) {
          // Named by its code: later groups continue the code numbering.
          char kind = ascii_upper(cls.fields[first].code[0]);
          p.step = 0;
          for (int k = 0; k < extensible_size_; ++k) {
            if (ascii_upper(cls.fields[static_cast<size_t>(begin + k)].code[0]) == kind) ++p.step;
          }
        }
        auto [start, end] = first_digit_run(name);
        if (start < 0) {
          p.prefix = name;
        } else {
          p.prefix = name.substr(0, static_cast<size_t>(start));
          p.suffix = name.substr(static_cast<size_t>(end));
          std::string_view digits(name.data() + start, static_cast<size_t>(end - start));
          int number = 0;
          p.number = parse_count(digits, number) ? number : 1;
        }
        p.search_prefix = to_ascii_lower(p.prefix);
        p.search_suffix = to_ascii_lower(p.suffix);
        ext.patterns.push_back(std::move(p));
      }
      // Unnamed declared fields inside the repeated region take their
      // group's generated name ("Wavelength 6"), not their code.
      for (size_t i = static_cast<size_t>(begin + extensible_size_); i < cls.fields.size(); ++i) {
        if (unnamed[i]) cls.fields[i].name = extensible_field_name(&cls, i);
      }
    }

    // For a name holding '-', '/' or '*', its attribute key (as
    // index_attribute_keys makes them).
    cls.attribute_key_index_map.clear();
    for (size_t i = 0; i < cls.fields.size(); ++i) {
      const std::string& name = cls.fields[i].name;
      if (has_irregular_attribute_key(name)) cls.attribute_key_index_map[attribute_key(name)] = static_cast<int>(i);
      if (!cls.fields[i].default_val.empty()) cls.field_idx_with_default.push_back(i);
    }
    cls.field_index.build(cls.fields);
    unify_list_names(cls);
    return {};
  }

  // Reference and object-list names are compared byte for byte by the
  // reference index, but dictionaries spell some of them two ways
  // ("BiquadraticCurves" / "BiQuadraticCurves"): every spelling of a name
  // that differs only in letter case becomes the first one read, so the
  // fields meant to link do.
  //
  // Done class by class as each is completed (while its fields are still
  // in cache), in dictionary order: the same first spellings as one pass
  // over the whole dictionary at the end.
  void unify_list_names(ClassDef& cls) {
    auto unify = [&](std::vector<std::string>& names) {
      for (std::string& name : names) {
        upper_.assign(name);
        ascii_upper_in_place(upper_);
        auto it = canonical_.find(upper_);
        if (it == canonical_.end()) {
          canonical_.emplace(upper_, name);
        } else if (it->second != name) {
          name = it->second;
        }
      }
    };
    for (FieldDef& field : cls.fields) {
      unify(field.references);
      unify(field.object_lists);
    }
  }

  c_IDD& out_;
  std::string_view text_;
  Tokens tokens_;
  std::string_view pending_;  // class name or field code waiting for its delimiter
  // Reference and object-list names by their upper-cased spelling: the
  // first spelling read (see unify_list_names).
  std::unordered_map<std::string, std::string> canonical_;
  std::string upper_;  // scratch for the upper-cased name
  size_t field_count_ = 0;  // fields read of the class being read
  std::string group_;
  bool in_class_ = false;   // after "Name," and before the ';' of its last field
  bool has_field_ = false;  // the current class has a field for tags to attach to
  int extensible_size_ = 0;
  int begin_marked_ = -1;
  int class_line_ = 0;
  size_t finished_ = 0;  // number of classes completed by finish_class
};

}  // namespace

std::string idd_version_line(std::string_view text) {
  constexpr std::string_view kPrefix = "!IDD_Version ";
  std::string_view first = text.substr(0, text.find('\n'));
  if (!first.starts_with(kPrefix)) return {};
  return std::string(trim_view(first.substr(kPrefix.size())));
}

IddError read_idd(std::string_view text, c_IDD& out) {
  out.epjson_schema.reset();
  Reader reader(text, out);
  return reader.run();
}

}  // namespace tamrix
