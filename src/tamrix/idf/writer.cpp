#include "tamrix/idf/writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "tamrix/utils/text.hpp"

namespace tamrix {

FormatConfig generate_format_config(size_t class_indent_size, size_t field_indent_size, uint32_t field_size) {
  FormatConfig config;
  config.class_indent.assign(class_indent_size, ' ');
  config.field_indent.assign(field_indent_size, ' ');
  config.field_size = field_size;
  config.compact = false;
  return config;
}

namespace {

void append_comments(std::string& out, const std::vector<UserComment>* comments, UserComment::Where where, int field,
                     bool all_from_field = false) {
  if (comments == nullptr) return;
  for (const UserComment& c : *comments) {
    if (c.where != where) continue;
    if (where != UserComment::kBefore && where != UserComment::kClassLine) {
      if (all_from_field ? c.field < field : c.field != field) continue;
    }
    out += "  ";
    out += c.text;
  }
}

void append_comment_lines(std::string& out, const std::vector<UserComment>* comments, UserComment::Where where,
                          int field, const std::string& indent, bool all_from_field = false) {
  if (comments == nullptr) return;
  for (const UserComment& c : *comments) {
    if (c.where != where) continue;
    if (where == UserComment::kBeforeField && (all_from_field ? c.field < field : c.field != field)) continue;
    out += indent;
    out += c.text;
    out += '\n';
  }
}

// The "!- " name of a field: straight into `out` for the dictionary's own
// names, through `field_name` for any other.
inline void append_name(std::string& out, const ClassDef& cls, int field, FieldNameFn field_name) {
  if (field_name == &get_field_name) {
    append_field_name(out, &cls, field, true);
  } else {
    out += field_name(&cls, field, true);
  }
}

template <class Values>
void write_object_with_comments(std::string& out, const FormatConfig& config, const std::string& class_name,
                                const Values& values, const ClassDef& cls, FieldNameFn field_name,
                                const std::vector<UserComment>* comments, bool with_before) {
  if (config.compact) comments = nullptr;
  if (with_before) append_comment_lines(out, comments, UserComment::kBefore, 0, std::string());
  out += config.class_indent;
  out += class_name;

  long long n = static_cast<long long>(values.size());
  long long last_non_empty = n - 1;
  while (last_non_empty >= 0 && values[static_cast<size_t>(last_non_empty)].empty()) --last_non_empty;
  long long min_fields = cls.min_fields;
  long long last_idx;
  if (last_non_empty >= 0) {
    last_idx = (min_fields > 0 && min_fields - 1 > last_non_empty) ? min_fields - 1 : last_non_empty;
  } else if (min_fields > 0) {
    last_idx = min_fields - 1;
  } else {
    out += ';';
    if (!config.compact) {
      append_comments(out, comments, UserComment::kClassLine, 0);
      append_comments(out, comments, UserComment::kFieldLine, 0, true);
      out += '\n';
    }
    return;
  }

  out += ',';
  if (!config.compact) {
    append_comments(out, comments, UserComment::kClassLine, 0);
    out += '\n';
  }
  for (long long k = 0; k <= last_idx; ++k) {
    bool last = k == last_idx;
    int field = static_cast<int>(k);
    if (comments != nullptr) {
      append_comment_lines(out, comments, UserComment::kBeforeField, field, config.field_indent, last);
    }
    out += config.field_indent;
    size_t val_size = 0;
    if (k < n) {
      std::string_view value = values[static_cast<size_t>(k)];
      out += value;
      val_size = value.size();
    }
    out += last ? ';' : ',';
    if (config.compact) continue;
    if (config.field_size != 0) {
      if (config.field_size >= val_size) {
        out.append(config.field_size - val_size, ' ');
      } else {
        out.append(2, ' ');
      }
    }
    out += "!- ";
    append_name(out, cls, field, field_name);
    // Comments of fields past the last one written (trailing blanks
    // dropped) stay with the object, on its last line.
    append_comments(out, comments, UserComment::kFieldLine, field, last);
    out += '\n';
  }
}

// Room for `n` more bytes at the end of `out`, made once per object so
// that each piece after it is a plain copy with no capacity check.
inline char* make_room(std::string& out, size_t n) {
  size_t len = out.size();
  if (out.capacity() - len < n) out.reserve(std::max(len + n, out.capacity() + out.capacity() / 2));
  out.resize(len + n);
  return out.data() + len;
}


// Most pieces (indents, values, field names) are short: copied inline in
// at most two overlapping words rather than through a call to memcpy.
inline char* put(char* p, std::string_view str) noexcept {
  const char* s = str.data();
  size_t n = str.size();
  if (n >= 8 && n <= 16) {
    uint64_t head, tail;
    std::memcpy(&head, s, 8);
    std::memcpy(&tail, s + n - 8, 8);
    std::memcpy(p, &head, 8);
    std::memcpy(p + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t head, tail;
    std::memcpy(&head, s, 4);
    std::memcpy(&tail, s + n - 4, 4);
    std::memcpy(p, &head, 4);
    std::memcpy(p + n - 4, &tail, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) p[i] = s[i];
  } else {
    std::memcpy(p, s, n);
  }
  return p + n;
}

// Writes the name of field `k` (declared or of a later extensible group)
// with its units at `p`, which has name_size(cls, k) bytes.
__attribute__((always_inline)) inline char* put_name(char* p, const ClassDef& cls, size_t k) noexcept {
  const FieldDef* def;
  if (k < cls.fields.size()) {
    def = &cls.fields[k];
    p = put(p, def->name);
  } else {
    def = get_field_def(&cls, k);
    if (def == nullptr) return p;
    const ExtensibleDef& ext = cls.extensible;
    if (ext.patterns.size() == static_cast<size_t>(ext.size) && k >= static_cast<size_t>(ext.begin_index)) {
      size_t offset = k - static_cast<size_t>(ext.begin_index);
      const ExtPattern& pattern = ext.patterns[offset % static_cast<size_t>(ext.size)];
      p = put(p, pattern.prefix);
      if (pattern.number >= 0) {
        long long number = static_cast<long long>(pattern.number) +
                           static_cast<long long>(pattern.step) * static_cast<long long>(offset / static_cast<size_t>(ext.size));
        p = std::to_chars(p, p + 24, number).ptr;
        p = put(p, pattern.suffix);
      }
    }
  }
  if (!def->units.empty()) {
    *p++ = ' ';
    *p++ = '{';
    p = put(p, def->units);
    *p++ = '}';
  }
  return p;
}

inline char* fill_blanks(char* p, size_t n) noexcept {
  constexpr uint64_t kBlanks = 0x2020202020202020ULL;
  for (; n >= 8; n -= 8, p += 8) std::memcpy(p, &kBlanks, 8);
  for (; n > 0; --n) *p++ = ' ';
  return p;
}

// The exact size of what put_name writes.
inline size_t name_size(const ClassDef& cls, size_t k) noexcept {
  const FieldDef* def = get_field_def(&cls, k);
  if (def == nullptr) return 0;
  size_t size = def->units.empty() ? 0 : def->units.size() + 3;
  if (k < cls.fields.size()) return size + def->name.size();
  const ExtensibleDef& ext = cls.extensible;
  if (ext.patterns.size() != static_cast<size_t>(ext.size) || k < static_cast<size_t>(ext.begin_index)) return size;
  size_t offset = k - static_cast<size_t>(ext.begin_index);
  const ExtPattern& pattern = ext.patterns[offset % static_cast<size_t>(ext.size)];
  size += pattern.prefix.size();
  if (pattern.number >= 0) {
    char digits[24];
    long long number = static_cast<long long>(pattern.number) +
                       static_cast<long long>(pattern.step) * static_cast<long long>(offset / static_cast<size_t>(ext.size));
    size += static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr - digits) + pattern.suffix.size();
  }
  return size;
}

// How many fields an object writes: through its last non-empty value, and
// at least its class's min_fields.
template <class Values>
inline size_t written_fields(const Values& values, const ClassDef& cls) noexcept {
  size_t used = values.size();
  while (used > 0 && values[used - 1].empty()) --used;
  size_t min_fields = cls.min_fields > 0 ? static_cast<size_t>(cls.min_fields) : 0;
  return std::max(used, min_fields);
}

// object_text_size and write_object_at.
template <class Values>
size_t text_size(const FormatConfig& config, const std::string& class_name, const Values& values,
                 const ClassDef& cls) noexcept {
  size_t n = values.size();
  size_t count = written_fields(values, cls);
  bool compact = config.compact;
  size_t size = config.class_indent.size() + class_name.size() + (compact ? 1 : 2);
  if (count == 0) return size;
  size_t width = config.field_size;
  size += count * (config.field_indent.size() + 1);
  for (size_t k = 0; k < count; ++k) {
    size_t value = k < n ? values[k].size() : 0;
    size += value;
    if (compact) continue;
    size += (width == 0 ? 0 : width >= value ? width - value : 2) + 4 + name_size(cls, k);
  }
  return size;
}

template <class Values>
char* write_at(char* p, const FormatConfig& config, const std::string& class_name, const Values& values,
               const ClassDef& cls) noexcept {
  size_t n = values.size();
  size_t count = written_fields(values, cls);
  const std::string& indent = config.field_indent;
  size_t width = config.field_size;
  bool compact = config.compact;
  p = put(p, config.class_indent);
  p = put(p, class_name);
  if (count == 0) {
    *p++ = ';';
    if (!compact) *p++ = '\n';
    return p;
  }
  *p++ = ',';
  if (!compact) *p++ = '\n';
  for (size_t k = 0; k < count; ++k) {
    std::string_view value = k < n ? std::string_view(values[k]) : std::string_view();
    p = put(p, indent);
    p = put(p, value);
    *p++ = k + 1 == count ? ';' : ',';
    if (compact) continue;
    p = fill_blanks(p, width == 0 ? 0 : width >= value.size() ? width - value.size() : 2);
    *p++ = '!';
    *p++ = '-';
    *p++ = ' ';
    p = put_name(p, cls, k);
    *p++ = '\n';
  }
  return p;
}

// write_object without comments, for the dictionary's own field names:
// the object's exact size is made room for, then every piece is copied in.
template <class Values>
void write_object_plain(std::string& out, const FormatConfig& config, const std::string& class_name,
                        const Values& values, const ClassDef& cls) {
  size_t size = text_size(config, class_name, values, cls);
  char* p = make_room(out, size);
  write_at(p, config, class_name, values, cls);
}

// Calls fn(values) with what the writer reads values through: a
// ValueList's view (its fields held in registers over the loops, no test
// of the record width per value), any other container as it is.
template <class Values, class Fn>
decltype(auto) with_values(const Values& values, Fn&& fn) {
  return fn(values);
}
template <class Fn>
decltype(auto) with_values(const ValueList& values, Fn&& fn) {
  if (values.narrow()) return fn(values.view<true>());
  return fn(values.view<false>());
}

}  // namespace

template <class Values>
size_t object_text_size(const FormatConfig& config, const std::string& class_name, const Values& values,
                        const ClassDef& cls) noexcept {
  return with_values(values, [&](const auto& v) { return text_size(config, class_name, v, cls); });
}

template <class Values>
char* write_object_at(char* p, const FormatConfig& config, const std::string& class_name, const Values& values,
                      const ClassDef& cls) noexcept {
  return with_values(values, [&](const auto& v) { return write_at(p, config, class_name, v, cls); });
}

template <class Values>
void write_object(std::string& out, const FormatConfig& config, const std::string& class_name,
                  const Values& values, const ClassDef& cls, FieldNameFn field_name) {
  if (field_name == &get_field_name) {
    with_values(values, [&](const auto& v) { write_object_plain(out, config, class_name, v, cls); });
  } else {
    with_values(values, [&](const auto& v) {
      write_object_with_comments(out, config, class_name, v, cls, field_name, nullptr, false);
    });
  }
}

template <class Values>
void write_object(std::string& out, const FormatConfig& config, const std::string& class_name,
                  const Values& values, const ClassDef& cls, FieldNameFn field_name,
                  const std::vector<UserComment>& comments, bool with_before) {
  if (config.compact && field_name == &get_field_name) {
    with_values(values, [&](const auto& v) { write_object_plain(out, config, class_name, v, cls); });
  } else {
    with_values(values, [&](const auto& v) {
      write_object_with_comments(out, config, class_name, v, cls, field_name, &comments, with_before);
    });
  }
}

size_t estimated_output_size(const std::string& out, const FormatConfig& config, size_t object_count,
                             size_t field_count) {
  // Room that is reserved but never written costs address space only: err
  // on the large side (a field name and its units rarely pass 60 bytes).
  size_t per_object = config.class_indent.size() + 64;
  size_t per_field = config.field_indent.size() + 2;
  if (!config.compact) per_field += std::max<size_t>(config.field_size, 2) + 5 + 60;
  return out.size() + per_object * object_count + per_field * field_count + 4096;
}

#define TAMRIX_WRITER_FOR(Values)                                                                                    \
  template void write_object(std::string&, const FormatConfig&, const std::string&, const Values&, const ClassDef&,   \
                             FieldNameFn);                                                                            \
  template void write_object(std::string&, const FormatConfig&, const std::string&, const Values&, const ClassDef&,   \
                             FieldNameFn, const std::vector<UserComment>&, bool);                                     \
  template size_t object_text_size(const FormatConfig&, const std::string&, const Values&, const ClassDef&) noexcept; \
  template char* write_object_at(char*, const FormatConfig&, const std::string&, const Values&, const ClassDef&) noexcept;
TAMRIX_WRITER_FOR(std::vector<std::string>)
TAMRIX_WRITER_FOR(ValueList)
#undef TAMRIX_WRITER_FOR

void write_group_header(std::string& out, const std::string& group) {
  out += "\n! ***";
  out += to_ascii_upper(group);
  out += "***\n";
}

}  // namespace tamrix
