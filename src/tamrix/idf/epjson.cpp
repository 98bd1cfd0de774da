#include "tamrix/idf/epjson.hpp"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <locale.h>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tamrix/idf/model.hpp"
#include "tamrix/utils/text.hpp"

namespace tamrix {

/*** The schema: names and value rules per class ***/

// How a field's text becomes a JSON value.
enum class Rule : uint8_t {
  kText,           // a string, as written
  kNumber,         // a number when it reads as one; Autosize / Autocalculate
  kChoice,         // the dictionary's spelling of a key it matches
  kNumberOrText,   // a number when it reads as one, else the string
  kIntegerChoice,  // an integer when it is one, else as a choice
};

struct EpProperty {
  std::string key;     // the JSON key
  // ',', line break, indentation and "key": as written before the value
  // (without the comma before the first), then kLeadPad blanks: copied
  // whole when it is that long at most, else in blocks of 16 bytes.
  std::string lead;
  size_t lead_size = 0;
  std::string_view written_lead() const { return std::string_view(lead.data(), lead_size); }
  std::string key_colon;  // "key": as a reader meets it most often
  uint32_t index = 0;  // the field (or, in an item, the place in the group)
  Rule rule = Rule::kText;
  const FieldDef* def = nullptr;
};

struct EpClass {
  const ClassDef* cls = nullptr;
  std::string quoted_name;  // "Class": as written
  std::string upper_name;   // the model's class-list key
  int name_field = -1;      // the field giving the object key
  size_t plain_end = 0;     // fields before the repeated groups
  bool extensible = false;
  size_t begin = 0, size = 0;
  std::vector<EpProperty> props;  // sorted by key
  size_t array_at = 0;            // where the array sorts among props
  std::string array_name;
  std::string array_quoted;
  std::vector<EpProperty> items;  // sorted by key
  std::vector<uint32_t> unnamed;       // plain fields the dictionary leaves unnamed
  std::vector<uint32_t> unnamed_item;  // the same within a group
  std::unordered_map<std::string_view, uint32_t> prop_by_key;  // -> props index
  std::unordered_map<std::string_view, uint32_t> item_by_key;  // -> items index
};

struct EpjsonSchema {
  std::vector<EpClass> classes;            // by class index
  std::vector<uint32_t> sorted;            // class indexes by name, in code point order
  std::unordered_map<std::string_view, uint32_t> by_name;  // exact dictionary spelling
};

namespace {

void append_json_string(std::string& out, std::string_view text);

bool unnamed_field(const FieldDef& fd) { return fd.name.empty() || fd.name == fd.code; }

// "Vertex 1 X-coordinate" -> "Vertex X-coordinate": every run of blanks
// followed by digits goes.
std::string without_group_numbers(std::string_view name) {
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    if (name[i] == ' ' || name[i] == '\t') {
      size_t j = i;
      while (j < name.size() && (name[j] == ' ' || name[j] == '\t')) ++j;
      size_t k = j;
      while (k < name.size() && name[k] >= '0' && name[k] <= '9') ++k;
      if (k > j) {
        i = k;
        continue;
      }
      out.append(name.substr(i, j - i));
      i = j;
      continue;
    }
    out += name[i++];
  }
  return out;
}

bool is_class(const ClassDef& cls, const char* name) { return ascii_iequals(cls.name, name); }

bool field_is(const FieldDef& fd, const char* name) { return ascii_iequals(fd.name, name); }

Rule rule_for(const ClassDef& cls, size_t index, const FieldDef& fd, bool in_group) {
  if (in_group && is_class(cls, "Schedule:Compact")) return Rule::kNumberOrText;
  if (in_group && is_class(cls, "Schedule:Week:Compact")) return Rule::kText;
  if (!in_group && index >= 6 && is_class(cls, "UtilityCost:Charge:Block")) return Rule::kNumberOrText;
  if ((is_class(cls, "UtilityCost:Ratchet") &&
       (field_is(fd, "Offset Value or Variable Name") || field_is(fd, "Multiplier Value or Variable Name"))) ||
      (is_class(cls, "UtilityCost:Charge:Simple") && field_is(fd, "Cost per Unit Value or Variable Name")) ||
      (is_class(cls, "UtilityCost:Qualify") && field_is(fd, "Threshold Value or Variable Name")) ||
      (is_class(cls, "UtilityCost:Tariff") &&
       (field_is(fd, "Minimum Monthly Charge or Variable Name") || field_is(fd, "Monthly Charge or Variable Name")))) {
    return Rule::kNumberOrText;
  }
  if ((is_class(cls, "GroundHeatTransfer:Slab:Insulation") &&
       field_is(fd, "IVINS: Flag: Is there vertical insulation")) ||
      (is_class(cls, "WindowMaterial:Screen") &&
       field_is(fd, "Angle of Resolution for Screen Transmittance Output Map")) ||
      (is_class(cls, "Refrigeration:System") && field_is(fd, "Number of Compressor Stages")) ||
      (is_class(cls, "ElectricLoadCenter:Transformer") && field_is(fd, "Phase"))) {
    return Rule::kIntegerChoice;
  }
  switch (fd.field_type) {
    case FIELDTYPE_INTEGER:
    case FIELDTYPE_REAL:
      return Rule::kNumber;
    case FIELDTYPE_CHOICE:
      return Rule::kChoice;
    default:
      return Rule::kText;
  }
}

// Keys made from `names` in order, a repeat getting "_<n>" from one counter.
class KeyMaker {
 public:
  std::string make(std::string_view name) {
    std::string key = epjson_key(name);
    if (!used_.insert(key).second) {
      key += '_';
      key += std::to_string(++repeats_);
      used_.insert(key);
    }
    return key;
  }

 private:
  std::unordered_set<std::string> used_;
  size_t repeats_ = 0;
};

constexpr size_t kLeadPad = 48;

void finish_props(std::vector<EpProperty>& props, std::unordered_map<std::string_view, uint32_t>& by_key, int depth) {
  std::sort(props.begin(), props.end(), [](const EpProperty& a, const EpProperty& b) { return a.key < b.key; });
  for (uint32_t i = 0; i < props.size(); ++i) {
    EpProperty& p = props[i];
    p.lead = ",\n";
    p.lead.append(static_cast<size_t>(4 * depth), ' ');
    append_json_string(p.lead, p.key);
    p.lead += ": ";
    p.lead_size = p.lead.size();
    p.lead.append(kLeadPad, ' ');
    p.key_colon.clear();
    append_json_string(p.key_colon, p.key);
    p.key_colon += ':';
    by_key.emplace(p.key, i);
  }
}

void build_class(EpClass& c, const ClassDef& cls, const std::unordered_map<std::string_view, const char*>& arrays) {
  c.cls = &cls;
  append_json_string(c.quoted_name, cls.name);
  c.quoted_name += ": ";
  c.upper_name = to_ascii_upper(cls.name);
  const ExtensibleDef& ext = cls.extensible;
  c.extensible = ext.is_extensible && ext.size > 0 && ext.begin_index >= 0 &&
                 static_cast<size_t>(ext.begin_index + ext.size) <= cls.fields.size();
  c.plain_end = c.extensible ? static_cast<size_t>(ext.begin_index) : cls.fields.size();
  KeyMaker keys;
  for (size_t i = 0; i < c.plain_end; ++i) {
    const FieldDef& fd = cls.fields[i];
    if (unnamed_field(fd)) {
      c.unnamed.push_back(static_cast<uint32_t>(i));
      continue;
    }
    std::string key = keys.make(fd.name);
    if (key == "name" && c.name_field < 0) {
      c.name_field = static_cast<int>(i);
      continue;
    }
    c.props.push_back(EpProperty{std::move(key), {}, 0, {}, static_cast<uint32_t>(i), rule_for(cls, i, fd, false), &fd});
  }
  if (c.name_field < 0 && c.plain_end > 0 &&
      (is_class(cls, "ZoneHVAC:TerminalUnit:VariableRefrigerantFlow") ||
       is_class(cls, "AirConditioner:VariableRefrigerantFlow"))) {
    c.name_field = 0;
    c.props.erase(std::remove_if(c.props.begin(), c.props.end(), [](const EpProperty& p) { return p.index == 0; }),
                  c.props.end());
  }
  finish_props(c.props, c.prop_by_key, 3);
  if (c.extensible) {
    c.begin = static_cast<size_t>(ext.begin_index);
    c.size = static_cast<size_t>(ext.size);
    KeyMaker item_keys;
    for (size_t j = 0; j < c.size; ++j) {
      const FieldDef& fd = cls.fields[c.begin + j];
      if (unnamed_field(fd)) {
        c.unnamed_item.push_back(static_cast<uint32_t>(j));
        continue;
      }
      std::string key = item_keys.make(without_group_numbers(fd.name));
      c.items.push_back(EpProperty{std::move(key), {}, 0, {}, static_cast<uint32_t>(j), rule_for(cls, c.begin + j, fd, true), &fd});
    }
    finish_props(c.items, c.item_by_key, 5);
    auto it = arrays.find(cls.name);
    c.array_name = it != arrays.end() ? it->second : "extensions";
    append_json_string(c.array_quoted, c.array_name);
    c.array_quoted += ": [";
    c.array_at = static_cast<size_t>(
        std::lower_bound(c.props.begin(), c.props.end(), c.array_name,
                         [](const EpProperty& p, const std::string& k) { return p.key < k; }) -
        c.props.begin());
  }
}

std::mutex& schema_mutex() {
  static std::mutex m;
  return m;
}

}  // namespace

std::string epjson_key(std::string_view field_name) {
  std::string key;
  key.reserve(field_name.size());
  bool run = false;
  for (char ch : field_name) {
    char c = ascii_lower(ch);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      key += c;
      run = false;
    } else if (!run) {
      key += '_';
      run = true;
    }
  }
  return key;
}

std::shared_ptr<const EpjsonSchema> epjson_schema(const c_IDD& idd) {
  std::lock_guard<std::mutex> lock(schema_mutex());
  if (idd.epjson_schema != nullptr) return idd.epjson_schema;
  auto schema = std::make_shared<EpjsonSchema>();
  std::unordered_map<std::string_view, const char*> arrays;
  for (size_t i = 0; i < kEpjsonExtensionNameCount; ++i) {
    arrays.emplace(kEpjsonExtensionNames[i].class_name, kEpjsonExtensionNames[i].array_name);
  }
  size_t n = idd.ordered_classes.size();
  schema->classes.resize(n);
  schema->sorted.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    build_class(schema->classes[i], idd.ordered_classes[i], arrays);
    schema->sorted.push_back(static_cast<uint32_t>(i));
    schema->by_name.emplace(idd.ordered_classes[i].name, static_cast<uint32_t>(i));
  }
  std::sort(schema->sorted.begin(), schema->sorted.end(), [&](uint32_t a, uint32_t b) {
    return idd.ordered_classes[a].name < idd.ordered_classes[b].name;
  });
  idd.epjson_schema = schema;
  return schema;
}

/*** Numbers ***/

namespace {

// The scans below read eight bytes at a time and find the first byte of
// interest from the lowest set bit: little-endian machines only; others
// take the bytes one by one.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kWordScan = true;
#else
constexpr bool kWordScan = false;
#endif

// Eight bytes as one word: the high bit of each byte of `w` equal to `c`,
// or below `n`. Exact up to the lowest byte flagged (a borrow may flag
// bytes above it), which is what the scans look for.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
constexpr uint64_t bytes_below(uint64_t w, unsigned char n) { return (w - kOnes * n) & ~w & kHighs; }
constexpr uint64_t bytes_equal(uint64_t w, unsigned char c) { return bytes_below(w ^ (kOnes * c), 1); }

locale_t c_locale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number writers below copy digits 32 bytes at a time, past the end of
// what they mean to write: the digits they are given can be read for
// kDigitReach bytes (a buffer of kDigitRoom bytes holds the digits of a
// short text), and the output has room for kNumberRoom bytes more than the
// text read (what lies past the number's end is written over later).
constexpr size_t kDigitReach = 48;
constexpr size_t kDigitRoom = 96;
constexpr size_t kNumberRoom = 64;

inline void copy32(char* to, const char* from) { std::memcpy(to, from, 32); }

// Lays out significant digits `digits` (no leading or trailing zeros, at
// least one, at most 17, readable for kDigitReach bytes from there) with
// value 0.digits x 10^decpt as Python's repr of a float does; returns the
// end.
char* put_repr(char* p, bool negative, const char* digits, long long nd, long long decpt) {
  if (negative) *p++ = '-';
  long long e = decpt - 1;
  if (e >= -4 && e < 16) {
    if (decpt <= 0) {
      // 0.000ddd: at most three zeros after the point.
      std::memcpy(p, "0.000", 5);
      p += 2 - decpt;
      copy32(p, digits);
      return p + nd;
    }
    copy32(p, digits);
    if (decpt < nd) {
      // ddd.ddd
      p[decpt] = '.';
      copy32(p + decpt + 1, digits + decpt);
      return p + nd + 1;
    }
    // ddd000.0: at most 15 zeros before the point.
    std::memcpy(p + nd, "0000000000000000", 16);
    p += decpt;
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  *p++ = digits[0];
  if (nd > 1) {
    *p++ = '.';
    copy32(p, digits + 1);
    p += nd - 1;
  }
  *p++ = 'e';
  *p++ = e < 0 ? '-' : '+';
  long long a = e < 0 ? -e : e;
  if (a < 10) *p++ = '0';
  return std::to_chars(p, p + 8, a).ptr;
}

char* put_zero(char* p, bool negative) {
  if (negative) *p++ = '-';
  std::memcpy(p, "0.0", 3);
  return p + 3;
}

// put_json_number for significant digits `digits` (no leading or trailing
// zeros, not empty) with value 0.digits x 10^decpt.
char* put_long_number(char* p, bool negative, std::string_view digits, long long decpt) {
  if (decpt > 400) return nullptr;  // beyond any double
  if (decpt < -400) return put_zero(p, negative);
  std::string scientific(digits);
  scientific += 'e';
  scientific += std::to_string(decpt - static_cast<long long>(digits.size()));
  double value = strtod_l(scientific.c_str(), nullptr, c_locale());
  if (std::isinf(value)) return nullptr;
  if (value == 0.0) return put_zero(p, negative);
  // The shortest digits that read back as `value`, as d.ddde+XX.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  size_t epos = sci.find('e');
  char sig[kDigitRoom];
  size_t n = 0;
  for (size_t i = 0; i < epos && n < kDigitReach; ++i) {  // at most 17 digits
    if (sci[i] != '.') sig[n++] = sci[i];
  }
  while (n > 1 && sig[n - 1] == '0') --n;
  long long exp10 = 0;
  std::string_view exp_text = sci.substr(epos + 1);
  bool exp_negative = !exp_text.empty() && exp_text[0] == '-';
  if (!exp_text.empty() && (exp_text[0] == '-' || exp_text[0] == '+')) exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp10);
  if (exp_negative) exp10 = -exp10;
  return put_repr(p, negative, sig, static_cast<long long>(n), exp10 + 1);
}

// Writes the JSON number `text` stands for at p (room: text.size() +
// kNumberRoom); null when it is not a number a double can hold. The digits
// are gathered in one pass, then laid out anew.
char* put_json_number(char* p, std::string_view text) {
  const char* s = text.data();
  const char* e = s + text.size();
  bool negative = s < e && *s == '-';
  if (s < e && (*s == '-' || *s == '+')) ++s;
  // Every digit before the exponent, in order.
  char local[kDigitRoom];
  std::string large;
  char* digits = local;
  if (text.size() + kDigitReach > sizeof local) {
    large.resize(text.size() + kDigitReach);
    digits = large.data();
  }
  char* q = digits;
  while (s < e && is_digit(*s)) *q++ = *s++;
  long long whole_len = q - digits;
  bool point = s < e && *s == '.';
  if (point) {
    ++s;
    while (s < e && is_digit(*s)) *q++ = *s++;
  }
  if (q == digits) return nullptr;
  long long exponent = 0;
  bool has_exponent = s < e && (*s == 'e' || *s == 'E');
  if (has_exponent) {
    ++s;
    bool exp_negative = s < e && *s == '-';
    if (s < e && (*s == '+' || *s == '-')) ++s;
    if (s >= e || !is_digit(*s)) return nullptr;
    for (; s < e && is_digit(*s); ++s) {
      if (exponent < 100000000) exponent = exponent * 10 + (*s - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  if (s != e) return nullptr;
  const char* first = digits;
  while (first < q && *first == '0') ++first;
  if (!point && !has_exponent) {
    // An integer, as Python's int() prints it: no '+', no leading zeros,
    // "-0" is 0.
    if (first == q) --first;
    if (negative && !(q - first == 1 && *first == '0')) *p++ = '-';
    std::memcpy(p, first, static_cast<size_t>(q - first));
    return p + (q - first);
  }
  if (first == q) return put_zero(p, negative);
  while (q[-1] == '0') --q;  // trailing zeros (a digit other than 0 stops it)
  long long nd = q - first;
  long long decpt = whole_len - (first - digits) + exponent;
  // Up to 15 significant digits name one double each: its shortest form is
  // these digits.
  if (nd <= 15 && decpt > -300 && decpt < 300) return put_repr(p, negative, first, nd, decpt);
  return put_long_number(p, negative, std::string_view(first, static_cast<size_t>(nd)), decpt);
}

}  // namespace

bool append_json_number(std::string& out, std::string_view text) {
  size_t at = out.size();
  out.resize(at + text.size() + kNumberRoom);
  char* end = put_json_number(out.data() + at, text);
  out.resize(end == nullptr ? at : static_cast<size_t>(end - out.data()));
  return end != nullptr;
}

/*** Writing ***/

namespace {

// JSON string escapes as Python's json writes them with non-ASCII kept.
bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Writes `text` as a JSON string at p (room: 2 + 6 * size); returns the end.
// Every byte of the text is or-ed into `seen` (which then tells whether
// any was past ASCII).
char* put_json_string(char* p, std::string_view text, uint64_t& seen) {
  *p++ = '"';
  size_t i = 0;
  if (kWordScan) {
    // Eight bytes at a time while none of them needs an escape.
    for (; i + 8 <= text.size(); i += 8) {
      uint64_t w;
      std::memcpy(&w, text.data() + i, 8);
      if (bytes_equal(w, '"') | bytes_equal(w, '\\') | bytes_below(w, 0x20)) break;
      seen |= w;
      std::memcpy(p, &w, 8);
      p += 8;
    }
  }
  for (char ch : text.substr(i)) {
    unsigned char c = static_cast<unsigned char>(ch);
    seen |= c;
    if (!needs_escape(c)) {
      *p++ = ch;
      continue;
    }
    *p++ = '\\';
    switch (c) {
      case '"': *p++ = '"'; break;
      case '\\': *p++ = '\\'; break;
      case '\n': *p++ = 'n'; break;
      case '\r': *p++ = 'r'; break;
      case '\t': *p++ = 't'; break;
      case '\b': *p++ = 'b'; break;
      case '\f': *p++ = 'f'; break;
      default: {
        static const char hex[] = "0123456789abcdef";
        std::memcpy(p, "u00", 3);
        p += 3;
        *p++ = hex[c >> 4];
        *p++ = hex[c & 15];
      }
    }
  }
  *p++ = '"';
  return p;
}

void append_json_string(std::string& out, std::string_view text) {
  size_t at = out.size();
  out.resize(at + 2 + 6 * text.size());
  uint64_t seen = 0;
  char* end = put_json_string(out.data() + at, text, seen);
  out.resize(static_cast<size_t>(end - out.data()));
}

// The one place the writer reads stored values.
inline std::string_view value_at(const ObjectData& data, size_t i) {
  return i < data.values.size() ? std::string_view(data.values[i]) : std::string_view();
}
inline size_t value_count(const ObjectData& data) { return data.values.size(); }

const char kIndent[] = "\n                        ";  // a break and 24 blanks

// The JSON forms of number texts met before. A model holds few distinct
// number texts among its values (a million values, a few thousand texts:
// "0.0", "0.0000E+00", "1", ...), so texts of up to 16 bytes are remembered
// in a table indexed by a hash of their bytes, and each is compared in full
// before its form is reused.
class NumberMemo {
 public:
  // A table for a model of `values` values: a pair of entries per 64
  // values, 4096 pairs at most (512 KB).
  explicit NumberMemo(size_t values) {
    while (bits_ < 12 && (size_t{1} << bits_) * 64 < values) ++bits_;
    entries_.reset(new Entry[size_t{2} << bits_]());
  }

  // Writes the remembered form of `v` at p (room as put_json_number's);
  // null when there is none.
  char* put(char* p, std::string_view v) const {
    uint64_t lo, hi;
    if (!key(v, lo, hi)) return nullptr;
    const Entry* pair = &entries_[2 * slot(lo, hi, v.size())];
    for (const Entry* entry = pair; entry < pair + 2; ++entry) {
      if (entry->text_size == v.size() && entry->lo == lo && entry->hi == hi) {
        copy32(p, entry->json);
        return p + entry->json_size;
      }
    }
    return nullptr;
  }

  // Remembers that `v` is written as `json`.
  void remember(std::string_view v, std::string_view json) {
    uint64_t lo, hi;
    if (!key(v, lo, hi) || json.size() > 32) return;
    // The newer of the two texts of a slot stands first.
    Entry* pair = &entries_[2 * slot(lo, hi, v.size())];
    pair[1] = pair[0];
    Entry& entry = pair[0];
    entry.lo = lo;
    entry.hi = hi;
    entry.text_size = static_cast<uint8_t>(v.size());
    entry.json_size = static_cast<uint8_t>(json.size());
    std::memcpy(entry.json, json.data(), json.size());
  }

 private:
  struct Entry {
    uint64_t lo = 0, hi = 0;
    uint8_t text_size = 0;  // 0: empty
    uint8_t json_size = 0;
    char json[46] = {};
  };

  // The bytes of a text of 1 to 16 bytes as two words, read without going
  // past its end (with its size, they tell the text apart from any other).
  static bool key(std::string_view v, uint64_t& lo, uint64_t& hi) {
    const char* s = v.data();
    size_t n = v.size();
    if (n == 0 || n > 16) return false;
    if (n >= 8) {
      std::memcpy(&lo, s, 8);
      std::memcpy(&hi, s + n - 8, 8);
    } else if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, s, 4);
      std::memcpy(&b, s + n - 4, 4);
      lo = a | static_cast<uint64_t>(b) << 32;
      hi = 0;
    } else {
      lo = static_cast<unsigned char>(s[0]) | static_cast<unsigned char>(s[n / 2]) << 8 |
           static_cast<unsigned char>(s[n - 1]) << 16;
      hi = 0;
    }
    return true;
  }
  // The high bits of the products, which every bit of the text reaches.
  size_t slot(uint64_t lo, uint64_t hi, size_t n) const {
    uint64_t h = (lo ^ (hi * 0xC2B2AE3D27D4EB4Full) ^ n) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> (64 - bits_));
  }

  unsigned bits_ = 4;  // 2^bits_ pairs
  std::unique_ptr<Entry[]> entries_;
};

// Writes into a sink through a cursor: room is made in large steps and the
// text written straight into it.
class Writer {
 public:
  // `values`: how many values the model holds (sizes the number memo).
  Writer(EpjsonSink& sink, size_t values)
      : sink_(sink), p_(sink.data), end_(sink.data + sink.capacity), numbers_(values) {}

  void room(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) grow(n);
  }
  void put(std::string_view v) {
    room(v.size());
    for (char c : v) seen_ |= static_cast<unsigned char>(c);
    std::memcpy(p_, v.data(), v.size());
    p_ += v.size();
  }
  void put(char c) {
    room(1);
    *p_++ = c;
  }
  void string(std::string_view v) {
    room(2 + 6 * v.size());
    p_ = put_json_string(p_, v, seen_);
  }
  // A property: its lead (the comma left out when it is the first) and
  // its value, in room made once.
  [[gnu::always_inline]] void property(bool& first, const EpProperty& prop, std::string_view v) {
    room(prop.lead_size + kLeadPad + 6 * v.size() + kNumberRoom);
    size_t skip = first ? 1 : 0;
    const char* lead = prop.lead.data() + skip;
    size_t n = prop.lead_size - skip;
    if (n <= kLeadPad) {
      std::memcpy(p_, lead, kLeadPad);
    } else {
      for (size_t i = 0; i < n; i += 16) std::memcpy(p_ + i, lead + i, 16);
    }
    p_ += n;
    first = false;
    value(v, prop);
  }
  void line(int depth, bool& first) {
    room(2 + 4 * static_cast<size_t>(depth));
    if (!first) *p_++ = ',';
    first = false;
    std::memcpy(p_, kIndent, 1 + 4 * static_cast<size_t>(depth));
    p_ += 1 + 4 * depth;
  }
  void close(int depth, bool empty, char bracket) {
    room(2 + 4 * static_cast<size_t>(depth));
    if (!empty) {
      std::memcpy(p_, kIndent, 1 + 4 * static_cast<size_t>(depth));
      p_ += 1 + 4 * depth;
    }
    *p_++ = bracket;
  }

  size_t size() const { return static_cast<size_t>(p_ - sink_.data); }
  // Whether every byte written so far is ASCII: the bytes of the texts
  // written (keys, values, names) were all or-ed together, and the rest
  // (layout, numbers, property keys) is ASCII by construction.
  bool ascii() const { return (seen_ & 0x8080808080808080ull) == 0; }

 private:
  // A property's value, in the room property() made.
  [[gnu::always_inline]] void value(std::string_view v, const EpProperty& p) {
    switch (p.rule) {
      case Rule::kNumber:
        if (v.size() == 8 && ascii_iequals(v, "autosize")) {
          literal("\"Autosize\"");
          return;
        }
        if (v.size() == 13 && ascii_iequals(v, "autocalculate")) {
          literal("\"Autocalculate\"");
          return;
        }
        if (number(v)) return;
        break;
      case Rule::kNumberOrText:
        if (number(v)) return;
        break;
      case Rule::kIntegerChoice:
        if (is_integer(v) && number(v)) return;
        [[fallthrough]];
      case Rule::kChoice:
        for (const std::string& choice : p.def->choices) {
          if (choice.size() == v.size() && ascii_iequals(choice, v)) {
            p_ = put_json_string(p_, choice, seen_);
            return;
          }
        }
        break;
      case Rule::kText:
        break;
    }
    p_ = put_json_string(p_, v, seen_);
  }

  void literal(std::string_view text) {
    std::memcpy(p_, text.data(), text.size());
    p_ += text.size();
  }

  [[gnu::always_inline]] bool number(std::string_view v) {
    char* end = numbers_.put(p_, v);
    if (end == nullptr) {
      end = put_json_number(p_, v);
      if (end == nullptr) return false;
      numbers_.remember(v, std::string_view(p_, static_cast<size_t>(end - p_)));
    }
    p_ = end;
    return true;
  }

  static bool is_integer(std::string_view v) {
    size_t i = !v.empty() && (v[0] == '+' || v[0] == '-') ? 1 : 0;
    if (i >= v.size()) return false;
    for (; i < v.size(); ++i) {
      if (!is_digit(v[i])) return false;
    }
    return true;
  }

  [[gnu::noinline]] void grow(size_t n) {
    size_t used = size();
    size_t want = std::max(sink_.capacity * 2, used + n + (size_t{1} << 16));
    if (!sink_.grow(used, want)) throw std::bad_alloc();
    p_ = sink_.data + used;
    end_ = sink_.data + sink_.capacity;
  }

  EpjsonSink& sink_;
  char* p_;
  char* end_;
  uint64_t seen_ = 0;
  NumberMemo numbers_;
};

class StringSink final : public EpjsonSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  bool grow(size_t, size_t needed) noexcept override {
    try {
      out_.resize(needed);
    } catch (const std::bad_alloc&) {
      return false;
    }
    data = out_.data();
    capacity = out_.size();
    return true;
  }

 private:
  std::string& out_;
};

std::string describe(const ClassDef& cls, std::string_view key) {
  std::string s = "epJSON: " + cls.name + " ";
  append_json_string(s, key);
  return s;
}

EpjsonError invalid(std::string message) {
  EpjsonError e;
  e.kind = EpjsonError::kInvalid;
  e.message = std::move(message);
  return e;
}

struct Keyed {
  std::string_view key;
  const ObjectData* data;
};

// Refuses values the document has no place for; empty when all is well.
std::string unplaced_value(const EpClass& c, const ObjectData& data, std::string_view key) {
  const ClassDef& cls = *c.cls;
  for (uint32_t i : c.unnamed) {
    if (!value_at(data, i).empty()) {
      return describe(cls, key) + ": field " + cls.fields[i].code +
             " has no name in the dictionary, so epJSON has no property for its value " +
             [&] { std::string v; append_json_string(v, value_at(data, i)); return v; }();
    }
  }
  if (c.extensible) {
    if (c.unnamed_item.empty()) return {};
    for (size_t i = c.begin; i < value_count(data); ++i) {
      uint32_t j = static_cast<uint32_t>((i - c.begin) % c.size);
      if (value_at(data, i).empty()) continue;
      if (std::find(c.unnamed_item.begin(), c.unnamed_item.end(), j) != c.unnamed_item.end()) {
        return describe(cls, key) + ": field " + get_field_name(&cls, static_cast<int>(i), false) +
               " has no name in the dictionary, so epJSON has no property for its value";
      }
    }
  } else {
    for (size_t i = c.plain_end; i < value_count(data); ++i) {
      if (!value_at(data, i).empty()) {
        std::string v;
        append_json_string(v, value_at(data, i));
        return describe(cls, key) + ": value " + v + " stands past the " + std::to_string(c.plain_end) +
               " fields of the class (field " + std::to_string(i + 1) + "), which epJSON cannot hold";
      }
    }
  }
  return {};
}

// The object's members; `values` is the view of its value list.
template <class Values>
void write_members(Writer& w, const EpClass& c, const Values& values) {
  auto value_at = [&](size_t i) { return i < values.size() ? values[i] : std::string_view(); };
  w.put('{');
  bool first = true;
  auto array = [&] {
    size_t n = values.size();
    if (n <= c.begin) return;
    size_t groups = (n - c.begin + c.size - 1) / c.size;
    // Items up to the last group holding a value.
    while (groups > 0) {
      size_t from = c.begin + (groups - 1) * c.size;
      bool any = false;
      for (const EpProperty& p : c.items) any = any || !value_at(from + p.index).empty();
      if (any) break;
      --groups;
    }
    if (groups == 0) return;
    w.line(3, first);
    w.put(c.array_quoted);
    bool first_item = true;
    for (size_t g = 0; g < groups; ++g) {
      size_t from = c.begin + g * c.size;
      w.line(4, first_item);
      w.put('{');
      bool first_member = true;
      for (const EpProperty& p : c.items) {
        std::string_view v = value_at(from + p.index);
        if (!v.empty()) w.property(first_member, p, v);
      }
      w.close(4, first_member, '}');
    }
    w.close(3, false, ']');
  };
  // The properties in key order, the array where its name sorts.
  auto properties = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      const EpProperty& p = c.props[i];
      std::string_view v = value_at(p.index);
      if (!v.empty()) w.property(first, p, v);
    }
  };
  if (c.extensible) {
    properties(0, c.array_at);
    array();
    properties(c.array_at, c.props.size());
  } else {
    properties(0, c.props.size());
  }
  w.close(2, first, '}');
}

void write_object(Writer& w, const EpClass& c, const ObjectData& data) {
  if (data.values.narrow()) {
    write_members(w, c, data.values.view<true>());
  } else {
    write_members(w, c, data.values.view<false>());
  }
}

// Values held by the model's objects, blanks included.
size_t model_values(const Model& model) noexcept {
  size_t values = 0;
  for (size_t i = 0; i < model.slot_count(); ++i) {
    if (const ObjectData* d = model.object(i)) values += value_count(*d);
  }
  return values;
}

}  // namespace

EpjsonError write_epjson(const Model& model, EpjsonSink& sink, size_t& size) noexcept {
  size = 0;
  try {
    const c_IDD* idd = model.idd();
    if (idd == nullptr) return invalid("epJSON: the model has no dictionary");
    std::shared_ptr<const EpjsonSchema> schema = epjson_schema(*idd);
    Writer w(sink, model_values(model));
    w.put('{');
    bool first_class = true;
    std::vector<Keyed> keyed;
    std::vector<std::string> made;  // generated keys
    std::unordered_set<std::string_view> taken;
    for (uint32_t ci : schema->sorted) {
      const EpClass& c = schema->classes[ci];
      const std::vector<size_t>* positions = model.class_positions(c.upper_name);
      if (positions == nullptr) continue;
      keyed.clear();
      made.clear();
      size_t blanks = 0;
      for (size_t pos : *positions) {
        const ObjectData* d = model.object(pos);
        if (d == nullptr || d->class_idx != ci) continue;
        std::string_view name = c.name_field >= 0 ? value_at(*d, static_cast<size_t>(c.name_field)) : std::string_view();
        if (name.empty()) ++blanks;
        keyed.push_back(Keyed{name, d});
      }
      if (keyed.empty()) continue;
      if (blanks > 0) {
        // "<class> <n>" in model order, past the numbers real names hold.
        made.reserve(blanks);
        taken.clear();
        if (c.name_field >= 0) {
          for (const Keyed& k : keyed) {
            if (!k.key.empty()) taken.insert(k.key);
          }
        }
        size_t n = 0;
        for (Keyed& k : keyed) {
          if (!k.key.empty()) continue;
          std::string key;
          do {
            key = c.cls->name + " " + std::to_string(++n);
          } while (!taken.empty() && taken.count(key) != 0);
          made.push_back(std::move(key));
          k.key = made.back();
        }
      }
      auto by_key = [](const Keyed& a, const Keyed& b) { return a.key < b.key; };
      if (!std::is_sorted(keyed.begin(), keyed.end(), by_key)) std::stable_sort(keyed.begin(), keyed.end(), by_key);
      for (size_t i = 0; i < keyed.size(); ++i) {
        if (i > 0 && keyed[i].key == keyed[i - 1].key) {
          return invalid(describe(*c.cls, keyed[i].key) +
                         ": two objects of the class have this name; epJSON keeps one object per name");
        }
        std::string refused = unplaced_value(c, *keyed[i].data, keyed[i].key);
        if (!refused.empty()) {
          return invalid(std::move(refused));
        }
      }
      w.line(1, first_class);
      w.put(c.quoted_name);
      w.put('{');
      bool first_object = true;
      for (const Keyed& k : keyed) {
        w.line(2, first_object);
        w.string(k.key);
        w.put(": ");
        write_object(w, c, *k.data);
      }
      w.close(1, false, '}');
    }
    w.close(0, first_class, '}');
    size = w.size();
    sink.ascii = w.ascii();
    return {};
  } catch (const std::bad_alloc&) {
    EpjsonError e;
    e.kind = EpjsonError::kNoMemory;
    return e;
  }
}

size_t epjson_size_hint(const Model& model) noexcept {
  size_t values = 0;
  for (size_t i = 0; i < model.slot_count(); ++i) {
    if (const ObjectData* d = model.object(i)) values += value_count(*d) + 4;
  }
  return 40 * values + 64;
}

EpjsonError write_epjson(const Model& model, std::string& out) noexcept {
  size_t start = out.size();
  std::string text;
  StringSink sink(text);
  size_t size = 0;
  if (!sink.grow(0, epjson_size_hint(model))) {
    EpjsonError e;
    e.kind = EpjsonError::kNoMemory;
    return e;
  }
  EpjsonError error = write_epjson(model, sink, size);
  if (error) return error;
  try {
    if (start == 0) {
      text.resize(size);
      out.swap(text);
      return error;
    }
    out.append(text.data(), size);
  } catch (const std::bad_alloc&) {
    out.resize(start);
    error.kind = EpjsonError::kNoMemory;
  }
  return error;
}

/*** Reading ***/

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

const char* kind_of(char c) {
  switch (c) {
    case '{': return "an object";
    case '[': return "an array";
    case '"': return "a string";
    case 't': case 'f': return "a boolean";
    case 'n': return "null";
    default: return "a number";
  }
}

std::string quoted(std::string_view s) {
  std::string q;
  append_json_string(q, s);
  return q;
}

// The JSON text under a cursor. Errors are values: the first failure is
// kept (its message made then) and the cursor goes to the end, where every
// further read fails at once, so callers only need to stop.
class Reader {
 public:
  explicit Reader(std::string_view text)
      : begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        numbers_end_early_(!text.empty() && !in_number(text.back())) {}

  bool ok() const { return ok_; }
  std::string& message() { return message_; }

  bool syntax(const char* at, std::string_view what) {
    if (!ok_) return false;
    long line = 1;
    const char* line_start = begin_;
    for (const char* q = begin_; q < at && q < end_; ++q) {
      if (*q == '\n') {
        ++line;
        line_start = q + 1;
      }
    }
    long column = 1;
    for (const char* q = line_start; q < at && q < end_; ++q) {
      if ((static_cast<unsigned char>(*q) & 0xC0) != 0x80) ++column;
    }
    message_ = "epJSON syntax error (line " + std::to_string(line) + ", column " + std::to_string(column) + "): ";
    message_ += what;
    return stop();
  }
  bool refuse(std::string message) {
    if (!ok_) return false;
    message_ = std::move(message);
    return stop();
  }

  [[gnu::always_inline]] void ws() {
    // Most often there is nothing to pass, one blank (after a colon) or a
    // line break and a run of blanks (indentation): the run eight bytes at
    // a time, to the first that is not a blank.
    if (p_ < end_ && static_cast<unsigned char>(*p_) > ' ') return;
    if (p_ < end_ && *p_ == '\n') ++p_;
    if (kWordScan) {
      while (end_ - p_ >= 8) {
        uint64_t w;
        std::memcpy(&w, p_, 8);
        uint64_t x = w ^ 0x2020202020202020ull;
        if (x != 0) {
          p_ += __builtin_ctzll(x) >> 3;
          break;
        }
        p_ += 8;
      }
    }
    // The rest one by one: other blanks, or near the end.
    while (p_ < end_ && static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
      ++p_;
    }
  }
  // ws() after a colon, where one blank stands most often.
  [[gnu::always_inline]] void blank_then_ws() {
    if (p_ < end_ && *p_ == ' ') ++p_;
    ws();
  }
  bool at_end() const { return p_ >= end_; }
  const char* pos() const { return p_; }
  // Passes over `text` when the cursor stands at it.
  bool match(std::string_view text) {
    size_t n = text.size();
    if (static_cast<size_t>(end_ - p_) < n) return false;
    if (kWordScan && n >= 8) {
      // Eight bytes at a time, the last eight overlapping the ones before.
      uint64_t a, b;
      for (size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&a, p_ + i, 8);
        std::memcpy(&b, text.data() + i, 8);
        if (a != b) return false;
      }
      std::memcpy(&a, p_ + n - 8, 8);
      std::memcpy(&b, text.data() + n - 8, 8);
      if (a != b) return false;
    } else if (std::memcmp(p_, text.data(), n) != 0) {
      return false;
    }
    p_ += n;
    return true;
  }
  char peek() const { return p_ < end_ ? *p_ : '\0'; }
  void skip() { ++p_; }
  // After blanks, `c`; else a syntax error saying `what` was expected.
  [[gnu::always_inline]] bool expect(char c, const char* what) {
    ws();
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    if (!ok_) return false;
    return syntax(p_, p_ >= end_ ? std::string("the text ends where ") + what + " belongs"
                                 : std::string("expected ") + what);
  }
  // After blanks, ',' (true, `more` set) or `close` (true, `more` clear).
  [[gnu::always_inline]] bool next(char close, bool& more) {
    ws();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      more = true;
      return true;
    }
    more = false;
    return expect(close, close == '}' ? "',' or '}'" : "',' or ']'");
  }
  // The value that stands here is of the wrong kind: a refusal, or a syntax
  // error when the text ends or holds no value at all.
  bool wrong_kind(const std::string& where, const char* expected) {
    if (at_end()) return syntax(p_, "the text ends where a value belongs");
    char c = *p_;
    if (c != '{' && c != '[' && c != '"' && c != 't' && c != 'f' && c != 'n' && c != '-' && !is_digit(c)) {
      return syntax(p_, "unexpected character");
    }
    return refuse(where + " holds " + kind_of(c) + "; expected " + expected);
  }

  // A string at p_ (its opening quote) into `out`: a view into the text,
  // or into `scratch` when it holds escapes.
  bool string(std::string& scratch, std::string_view& out) {
    if (p_ >= end_ || *p_ != '"') {
      return syntax(p_, p_ >= end_ ? "the text ends where a string belongs" : "expected a string");
    }
    const char* open = p_;
    const char* s = ++p_;
    // Eight bytes at a time to the first quote, backslash, control
    // character or byte of a multi-byte sequence (the lowest byte flagged is
    // always one of them).
    for (;;) {
      if (kWordScan && end_ - p_ >= 8) {
        uint64_t w;
        std::memcpy(&w, p_, 8);
        uint64_t special = bytes_equal(w, '"') | bytes_equal(w, '\\') | bytes_below(w, 0x20) | (w & kHighs);
        if (special == 0) {
          p_ += 8;
          continue;
        }
        p_ += __builtin_ctzll(special) >> 3;
      } else if (p_ >= end_) {
        break;
      }
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out = std::string_view(s, static_cast<size_t>(p_ - s));
        ++p_;
        return true;
      }
      if (c == '\\') break;
      if (c < 0x20) return syntax(p_, "a control character in a string must be escaped");
      if (c >= 0x80) {
        if (!utf8()) return false;
      } else {
        ++p_;
      }
    }
    if (p_ >= end_) return syntax(open, "unterminated string");
    scratch.assign(s, static_cast<size_t>(p_ - s));
    while (p_ < end_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        out = scratch;
        return true;
      }
      if (c < 0x20) return syntax(p_, "a control character in a string must be escaped");
      if (c >= 0x80) {
        const char* from = p_;
        if (!utf8()) return false;
        scratch.append(from, static_cast<size_t>(p_ - from));
        continue;
      }
      if (c != '\\') {
        scratch += static_cast<char>(c);
        ++p_;
        continue;
      }
      const char* esc = p_++;
      if (p_ >= end_) break;
      switch (*p_++) {
        case '"': scratch += '"'; break;
        case '\\': scratch += '\\'; break;
        case '/': scratch += '/'; break;
        case 'b': scratch += '\b'; break;
        case 'f': scratch += '\f'; break;
        case 'n': scratch += '\n'; break;
        case 'r': scratch += '\r'; break;
        case 't': scratch += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!hex4(esc, cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u') {
              return syntax(esc, "a high surrogate escape without its low half");
            }
            const char* low_at = p_;
            p_ += 2;
            uint32_t low = 0;
            if (!hex4(low_at, low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return syntax(low_at, "a high surrogate escape without its low half");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return syntax(esc, "a low surrogate escape without its high half");
          }
          put_utf8(scratch, cp);
          break;
        }
        default:
          return syntax(esc, "invalid escape in a string");
      }
    }
    return syntax(open, "unterminated string");
  }

  // A number at p_, as written (JSON's grammar).
  bool number(std::string_view& out) {
    return numbers_end_early_ && p_ < end_ ? scan_number<false>(out) : scan_number<true>(out);
  }

  // Passes over a literal (true, false, null).
  bool literal() {
    for (const char* word : {"true", "false", "null"}) {
      size_t n = std::strlen(word);
      if (static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, word, n) == 0) {
        p_ += n;
        return true;
      }
    }
    return syntax(p_, "unexpected character");
  }

  // Passes over any value (for the version look-up), brackets counted
  // rather than recursed into.
  bool skip_value(std::string& scratch) {
    std::vector<char> stack;
    std::string_view ignored;
    for (;;) {
      ws();
      char c = peek();
      if (c == '{' || c == '[') {
        stack.push_back(c == '{' ? '}' : ']');
        ++p_;
        ws();
        if (peek() == stack.back()) {
          ++p_;
          stack.pop_back();
        } else {
          if (c == '{' && (!string(scratch, ignored) || !expect(':', "':'"))) return false;
          continue;
        }
      } else if (c == '"') {
        if (!string(scratch, ignored)) return false;
      } else if (c == '-' || is_digit(c)) {
        if (!number(ignored)) return false;
      } else if (!literal()) {
        return false;
      }
      // After a value: a comma, or closing brackets.
      for (;;) {
        if (stack.empty()) return true;
        ws();
        char d = peek();
        if (d == ',') {
          ++p_;
          if (stack.back() == '}') {
            ws();
            if (!string(scratch, ignored) || !expect(':', "':'")) return false;
          }
          break;
        }
        if (d == stack.back()) {
          ++p_;
          stack.pop_back();
          continue;
        }
        return syntax(p_, "expected ',' or a closing bracket");
      }
    }
  }

 private:
  bool stop() {
    ok_ = false;
    p_ = end_;
    return false;
  }

  static bool in_number(char c) { return is_digit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'; }

  // number(); `kCheckEnd` false when the text's last byte cannot stand in
  // a number, so that every byte passed over here is followed by another
  // and the end need not be looked for.
  template <bool kCheckEnd>
  bool scan_number(std::string_view& out) {
    auto at = [this] { return !kCheckEnd || p_ < end_ ? *p_ : '\0'; };
    const char* s = p_;
    if (at() == '-') ++p_;
    if (!is_digit(at())) return syntax(s, "invalid number");
    if (*p_ == '0') {
      ++p_;
    } else {
      while (is_digit(at())) ++p_;
    }
    if (at() == '.') {
      ++p_;
      if (!is_digit(at())) return syntax(s, "invalid number: digits must follow '.'");
      while (is_digit(at())) ++p_;
    }
    if (at() == 'e' || at() == 'E') {
      ++p_;
      if (at() == '+' || at() == '-') ++p_;
      if (!is_digit(at())) return syntax(s, "invalid number: digits must follow the exponent mark");
      while (is_digit(at())) ++p_;
    }
    if (in_number(at())) return syntax(s, "invalid number");
    out = std::string_view(s, static_cast<size_t>(p_ - s));
    return true;
  }

  bool hex4(const char* esc, uint32_t& v) {
    if (end_ - p_ < 4) return syntax(esc, "invalid \\u escape");
    v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = *p_++;
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
      else return syntax(esc, "invalid \\u escape");
    }
    return true;
  }

  static void put_utf8(std::string& s, uint32_t cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // One UTF-8 sequence starting at p_ (a byte >= 0x80), checked strictly:
  // no overlong forms, no surrogates, nothing past U+10FFFF.
  bool utf8() {
    size_t n = utf8_sequence_length(reinterpret_cast<const unsigned char*>(p_), static_cast<size_t>(end_ - p_));
    if (n == 0) return syntax(p_, "the text is not valid UTF-8");
    p_ += n;
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  bool ok_ = true;
  bool numbers_end_early_;  // the last byte cannot stand in a number
  std::string message_;
};

// Where a value was read, for messages; they are only made on failure.
struct Where {
  const EpClass* cls;
  std::string_view key;
  std::string_view prop;  // empty: the object key itself
  size_t item = 0;        // 1-based item of the extension array; 0: none
  std::string_view item_prop = {};

  std::string text() const {
    std::string s = describe(*cls->cls, key);
    if (prop.empty()) return s + ": object key";
    s += ": property " + quoted(prop);
    if (item > 0) s += " item " + std::to_string(item) + ": property " + quoted(item_prop);
    return s;
  }
};

class Loader {
 public:
  Loader(Reader& r, const EpjsonSchema& schema) : r_(r), schema_(schema) {}

  // The whole document into `objects`; false (the reader holding the
  // message) on failure.
  bool run(std::vector<KnownObject>& objects) {
    if (!r_.expect('{', "'{'")) return false;
    r_.ws();
    std::vector<bool> seen_class(schema_.classes.size());
    if (r_.peek() == '}') {
      r_.skip();
    } else {
      for (bool more = true; more;) {
        r_.ws();
        std::string_view view;
        if (!r_.string(scratch_, view)) return false;
        std::string name(view);
        auto it = schema_.by_name.find(name);
        if (it == schema_.by_name.end()) {
          std::string hint;
          for (const auto& [known, idx] : schema_.by_name) {
            if (ascii_iequals(known, name)) hint = " (the dictionary spells it " + quoted(known) + ")";
          }
          return r_.refuse("epJSON: unknown class " + quoted(name) + hint);
        }
        uint32_t ci = it->second;
        if (seen_class[ci]) return r_.refuse("epJSON: class " + quoted(name) + " given twice");
        seen_class[ci] = true;
        if (!r_.expect(':', "':' after a class name")) return false;
        r_.ws();
        if (r_.peek() != '{') return r_.wrong_kind("epJSON: " + quoted(name) + ": the class", "an object of objects");
        if (!read_class(ci, objects) || !r_.next('}', more)) return false;
      }
    }
    r_.ws();
    if (!r_.at_end()) return r_.syntax(r_.pos(), "text after the end of the document");
    return r_.ok();
  }

 private:
  bool read_class(uint32_t ci, std::vector<KnownObject>& objects) {
    const EpClass& c = schema_.classes[ci];
    r_.skip();  // '{'
    keys_.clear();
    seen_keys_.clear();
    guess_.resize(c.props.size() + 2);
    std::iota(guess_.begin(), guess_.end(), 0u);
    item_guess_.resize(c.items.size() + 1);
    std::iota(item_guess_.begin(), item_guess_.end(), 0u);
    bool ordered = true;
    escaped_keys_.clear();
    size_t first = objects.size();
    numbers_.clear();
    bool numbered = c.name_field < 0;
    r_.ws();
    if (r_.peek() == '}') {
      r_.skip();
      return true;
    }
    for (bool more = true; more;) {
      r_.ws();
      std::string_view key;
      if (!r_.string(scratch_, key)) return false;
      if (key.data() == scratch_.data()) {
        // Unescaped into the scratch buffer: kept while the class is read.
        escaped_keys_.emplace_back(key);
        key = escaped_keys_.back();
      }
      // Keys in increasing order (as written by a sorting writer) cannot
      // repeat; the set is filled only once the order breaks.
      if (ordered && !seen_keys_.empty() && !(key > seen_keys_.back())) {
        ordered = false;
        keys_.insert(seen_keys_.begin(), seen_keys_.end());
      }
      if (ordered) {
        seen_keys_.push_back(key);
      } else if (!keys_.insert(key).second) {
        return r_.refuse(describe(*c.cls, key) + ": object key given twice");
      }
      if (!r_.expect(':', "':' after an object key")) return false;
      r_.ws();
      if (r_.peek() != '{') return r_.wrong_kind(describe(*c.cls, key), "an object of properties");
      KnownObject& obj = objects.emplace_back();
      obj.class_idx = ci;
      kept_.clear();
      if (!read_object(c, key)) return false;
      if (c.name_field >= 0) {
        std::string_view name;
        if (!field_text(key, Where{&c, key, {}}, name)) return false;
        pend(static_cast<size_t>(c.name_field), name);
      }
      store(obj.values);
      if (numbered) numbered = key_number(c, key, numbers_);
      if (!r_.next('}', more)) return false;
    }
    // Objects keyed "<class> <n>" (a class without names) come back in the
    // order of their numbers, which is the order they were written in.
    if (numbered && objects.size() - first > 1 && !std::is_sorted(numbers_.begin(), numbers_.end())) {
      std::vector<size_t> order(objects.size() - first);
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return numbers_[a] < numbers_[b]; });
      std::vector<KnownObject> sorted;
      sorted.reserve(order.size());
      for (size_t i : order) sorted.push_back(std::move(objects[first + i]));
      for (size_t i = 0; i < order.size(); ++i) objects[first + i] = std::move(sorted[i]);
    }
    return true;
  }

  static bool key_number(const EpClass& c, std::string_view key, std::vector<uint64_t>& numbers) {
    const std::string& name = c.cls->name;
    if (key.size() <= name.size() + 1 || key.substr(0, name.size()) != name || key[name.size()] != ' ') return false;
    std::string_view digits = key.substr(name.size() + 1);
    if (digits.size() > 18) return false;
    uint64_t n = 0;
    for (char ch : digits) {
      if (!is_digit(ch)) return false;
      n = n * 10 + static_cast<uint64_t>(ch - '0');
    }
    numbers.push_back(n);
    return true;
  }

  // Checks and trims a value read for a field, as a field write does: no
  // separators or comment marks (the IDF text could not hold them), no
  // control characters but tab, no leading or trailing blanks.
  bool field_text(std::string_view v, const Where& where, std::string_view& out) {
    size_t i = 0;
    if (kWordScan && v.size() >= 8) {
      // Eight bytes at a time, the last eight overlapping the ones before,
      // while none can be refused (a tab is looked at byte by byte below,
      // and passes).
      for (;;) {
        size_t at = std::min(i, v.size() - 8);
        uint64_t w;
        std::memcpy(&w, v.data() + at, 8);
        uint64_t flagged = bytes_equal(w, ',') | bytes_equal(w, ';') | bytes_equal(w, '!') | bytes_equal(w, 0x7F) |
                           bytes_below(w, 0x20);
        if (flagged != 0) {
          i = at;
          break;
        }
        i = at + 8;
        if (i == v.size()) break;
      }
    }
    for (char ch : v.substr(i)) {
      unsigned char c = static_cast<unsigned char>(ch);
      if ((c >= 0x20 && c != ',' && c != ';' && c != '!' && c != 0x7F) || c == '\t') continue;
      const char* what = c == ',' ? "','" : c == ';' ? "';'" : c == '!' ? "'!'" : c == '\r' ? "a carriage return"
                       : c == '\n' ? "a line break" : "a control character";
      return r_.refuse(where.text() + ": the value " + quoted(v) + " holds " + what +
                       ", which IDF text cannot hold in a field");
    }
    size_t first = 0;
    while (first < v.size() && (v[first] == ' ' || v[first] == '\t')) ++first;
    size_t last = v.size();
    while (last > first && (v[last - 1] == ' ' || v[last - 1] == '\t')) --last;
    out = v.substr(first, last - first);
    return true;
  }

  // Notes value `v` for field `index`; a value unescaped into the scratch
  // buffer is kept aside first.
  [[gnu::always_inline]] void pend(size_t index, std::string_view v) {
    if (v.empty()) return;
    if (v.data() >= scratch_.data() && v.data() <= scratch_.data() + scratch_.size()) {
      kept_.emplace_back(v);
      v = kept_.back();
    }
    if (index >= fields_.size()) fields_.resize(std::max(index + 1, 2 * fields_.size()));
    fields_[index] = v;
    count_ = std::max(count_, index + 1);
  }

  // The one place the reader stores values: the object's values, noted
  // first, made in one allocation of the right size. The fields are blank
  // again after.
  void store(ValueList& values) {
    values = ValueList::copied(fields_.data(), count_);
    std::fill_n(fields_.begin(), count_, std::string_view());
    count_ = 0;
  }

  // The value of a property, a string or a number, noted for field `index`.
  [[gnu::always_inline]] bool scalar(const Where& where, size_t index) {
    r_.blank_then_ws();
    char c = r_.peek();
    std::string_view v;
    if (c == '"') {
      if (!r_.string(scratch_, v) || !field_text(v, where, v)) return false;
    } else if (c == '-' || is_digit(c)) {
      if (!r_.number(v)) return false;
    } else {
      return r_.wrong_kind(where.text(), "a string or a number");
    }
    pend(index, v);
    return true;
  }

  bool read_object(const EpClass& c, std::string_view key) {
    r_.skip();  // '{'
    ++stamp_;
    const size_t n_props = c.props.size();
    if (seen_.size() < n_props + 1) seen_.resize(n_props + 1, 0);
    size_t expected = 0;
    r_.ws();
    if (r_.peek() == '}') {
      r_.skip();
      return true;
    }
    bool led = false;  // the separator before the property and its key were read with its lead
    size_t guess = 0;
    for (bool more = true; more;) {
      std::string_view prop;
      size_t index;
      // Keys usually come in the order they sort in, written plainly, and
      // the objects of a class mostly leave out the same blank ones: the
      // key that came after the previous one last time (at first the next
      // one) is tried first, as text.
      if (!led) {
        r_.ws();
        guess = guess_[expected];
      }
      if (led || (guess < n_props && r_.match(c.props[guess].key_colon))) {
        index = guess;
        prop = c.props[index].key;
      } else {
        if (!r_.string(scratch_, prop)) return false;
        if (c.extensible && prop == c.array_name) {
          index = n_props;
        } else {
          auto it = c.prop_by_key.find(prop);
          if (it == c.prop_by_key.end()) return r_.refuse(describe(*c.cls, key) + ": unknown property " + quoted(prop));
          index = it->second;
          guess_[expected] = static_cast<uint32_t>(index);
        }
        if (seen_[index] != stamp_ && !r_.expect(':', "':' after a property name")) return false;
      }
      if (seen_[index] == stamp_) return r_.refuse(describe(*c.cls, key) + ": property " + quoted(prop) + " given twice");
      seen_[index] = stamp_;
      expected = index + 1;
      if (index == n_props) {
        if (!read_array(c, key)) return false;
      } else {
        const EpProperty& p = c.props[index];
        if (!scalar(Where{&c, key, p.key}, p.index)) return false;
      }
      // Then the guessed property's whole lead as an indented layout
      // writes it (comma, line break, indentation, key, colon, blank).
      guess = guess_[expected];
      led = guess < n_props && r_.match(c.props[guess].written_lead());
      if (!led && !r_.next('}', more)) return false;
    }
    return true;
  }

  bool read_array(const EpClass& c, std::string_view key) {
    r_.ws();
    if (r_.peek() != '[') return r_.wrong_kind(Where{&c, key, c.array_name}.text(), "an array of objects");
    r_.skip();
    r_.ws();
    if (r_.peek() == ']') {
      r_.skip();
      return true;
    }
    if (item_seen_.size() < c.items.size()) item_seen_.resize(c.items.size(), 0);
    size_t item = 0;
    for (bool more = true; more; ++item) {
      r_.ws();
      if (r_.peek() != '{') {
        return r_.wrong_kind(Where{&c, key, c.array_name}.text() + " item " + std::to_string(item + 1), "an object");
      }
      r_.skip();
      ++item_stamp_;
      size_t from = c.begin + item * c.size;
      r_.ws();
      if (r_.peek() == '}') {
        r_.skip();
      } else {
        size_t expected = 0;
        bool led = false;
        size_t guess = 0;
        for (bool members = true; members;) {
          std::string_view prop;
          size_t index;
          if (!led) {
            r_.ws();
            guess = item_guess_[expected];
          }
          if (led || (guess < c.items.size() && r_.match(c.items[guess].key_colon))) {
            index = guess;
            prop = c.items[index].key;
          } else {
            if (!r_.string(scratch_, prop)) return false;
            auto it = c.item_by_key.find(prop);
            if (it == c.item_by_key.end()) {
              return r_.refuse(Where{&c, key, c.array_name}.text() + " item " + std::to_string(item + 1) +
                               ": unknown property " + quoted(prop));
            }
            index = it->second;
            item_guess_[expected] = static_cast<uint32_t>(index);
            if (item_seen_[index] != item_stamp_ && !r_.expect(':', "':' after a property name")) return false;
          }
          if (item_seen_[index] == item_stamp_) {
            return r_.refuse(Where{&c, key, c.array_name}.text() + " item " + std::to_string(item + 1) +
                             ": property " + quoted(prop) + " given twice");
          }
          item_seen_[index] = item_stamp_;
          expected = index + 1;
          const EpProperty& p = c.items[index];
          if (!scalar(Where{&c, key, c.array_name, item + 1, p.key}, from + p.index)) return false;
          guess = item_guess_[expected];
          led = guess < c.items.size() && r_.match(c.items[guess].written_lead());
          if (!led && !r_.next('}', members)) return false;
        }
      }
      if (!r_.next(']', more)) return false;
    }
    return true;
  }

  Reader& r_;
  const EpjsonSchema& schema_;
  std::string scratch_;
  std::unordered_set<std::string_view> keys_;
  std::vector<std::string_view> seen_keys_;
  std::deque<std::string> escaped_keys_;
  std::vector<uint64_t> numbers_;
  std::vector<uint32_t> seen_;
  uint32_t stamp_ = 0;
  std::vector<uint32_t> item_seen_;
  uint32_t item_stamp_ = 0;
  // The property (item property) read after the one at each place, last
  // time: tried first.
  std::vector<uint32_t> guess_;
  std::vector<uint32_t> item_guess_;
  std::vector<std::string_view> fields_;  // the object's values by field, blank past count_
  size_t count_ = 0;
  std::deque<std::string> kept_;  // unescaped ones among them
};

std::string_view without_bom(std::string_view text) {
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  return text;
}

}  // namespace

bool looks_like_epjson(std::string_view text) noexcept {
  text = without_bom(text);
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    return c == '{';
  }
  return false;
}

EpjsonError load_epjson(Model& model, std::string_view text) noexcept {
  model.clear();
  EpjsonError error;
  try {
    const c_IDD* idd = model.idd();
    if (idd == nullptr) return invalid("epJSON: the model has no dictionary");
    std::shared_ptr<const EpjsonSchema> schema = epjson_schema(*idd);
    Reader reader(without_bom(text));
    std::vector<KnownObject> objects;
    if (!Loader(reader, *schema).run(objects)) return invalid(std::move(reader.message()));
    LoadError built = model.build(objects);
    if (built) {
      model.clear();
      error.kind = built.kind == LoadError::kNoMemory ? EpjsonError::kNoMemory : EpjsonError::kInvalid;
      if (error.kind == EpjsonError::kInvalid) error.message = "epJSON: the document names a class the model cannot hold";
    }
  } catch (const std::bad_alloc&) {
    model.clear();
    error = EpjsonError();
    error.kind = EpjsonError::kNoMemory;
  }
  return error;
}

std::optional<std::string> epjson_version(std::string_view text) {
  Reader r(without_bom(text));
  std::string scratch;
  std::string_view view;
  if (!r.expect('{', "'{'")) return std::nullopt;
  r.ws();
  if (r.peek() == '}') return std::nullopt;
  for (;;) {
    r.ws();
    if (!r.string(scratch, view)) return std::nullopt;
    bool version = view == "Version";
    if (!r.expect(':', "':'")) return std::nullopt;
    r.ws();
    if (version && r.peek() == '{') {
      // The first object of the class, then its version_identifier.
      r.skip();
      r.ws();
      if (r.peek() == '}' || !r.string(scratch, view) || !r.expect(':', "':'")) return std::nullopt;
      r.ws();
      if (r.peek() != '{') return std::nullopt;
      r.skip();
      r.ws();
      if (r.peek() == '}') return std::nullopt;
      for (;;) {
        r.ws();
        if (!r.string(scratch, view)) return std::nullopt;
        bool wanted = view == "version_identifier";
        if (!r.expect(':', "':'")) return std::nullopt;
        r.ws();
        if (wanted) {
          if (r.peek() == '"') {
            if (!r.string(scratch, view)) return std::nullopt;
            return std::string(trim_view(view));
          }
          if ((r.peek() == '-' || is_digit(r.peek())) && r.number(view)) return std::string(view);
          return std::nullopt;
        }
        if (!r.skip_value(scratch)) return std::nullopt;
        r.ws();
        if (r.peek() != ',') return std::nullopt;
        r.skip();
      }
    }
    if (!r.skip_value(scratch)) return std::nullopt;
    r.ws();
    if (r.peek() != ',') return std::nullopt;
    r.skip();
  }
}

}  // namespace tamrix
