#include "tamrix/utils/text.hpp"

#include <cstring>

namespace tamrix {

void ascii_upper_in_place(std::string& s) noexcept {
  for (char& c : s) c = ascii_upper(c);
}

void ascii_lower_in_place(std::string& s) noexcept {
  for (char& c : s) c = ascii_lower(c);
}

std::string to_ascii_upper(std::string_view s) {
  std::string out(s);
  ascii_upper_in_place(out);
  return out;
}

std::string to_ascii_lower(std::string_view s) {
  std::string out(s);
  ascii_lower_in_place(out);
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

namespace {

bool is_newline(char c) noexcept { return c == '\r' || c == '\n'; }

template <class Pred>
std::string_view trim_by(std::string_view s, Pred in_set) noexcept {
  size_t first = 0;
  while (first < s.size() && in_set(s[first])) ++first;
  if (first == s.size()) return {};
  size_t last = s.size() - 1;
  while (in_set(s[last])) --last;
  return s.substr(first, last - first + 1);
}

}  // namespace

std::string trim_string(std::string_view s) { return std::string(trim_view(s)); }
std::string trim_newlines(std::string_view s) { return std::string(trim_by(s, is_newline)); }

std::pair<int32_t, int32_t> first_digit_run(std::string_view s) noexcept {
  size_t i = 0;
  while (i < s.size() && !(s[i] >= '0' && s[i] <= '9')) ++i;
  if (i == s.size() || i > INT32_MAX) return {-1, -1};
  size_t j = i;
  while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
  if (j > INT32_MAX) j = INT32_MAX;
  return {static_cast<int32_t>(i), static_cast<int32_t>(j)};
}

bool is_ascii(std::string_view s) noexcept {
  const char* p = s.data();
  size_t n = s.size();
  uint64_t high = 0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    uint64_t w[4];
    std::memcpy(w, p + i, 32);
    high |= w[0] | w[1] | w[2] | w[3];
    if ((high & 0x8080808080808080ULL) != 0) return false;
  }
  for (; i < n; ++i) high |= static_cast<unsigned char>(p[i]);
  return (high & 0x8080808080808080ULL) == 0;
}

size_t utf8_sequence_length(const unsigned char* p, size_t left) noexcept {
  unsigned char c = p[0];
  size_t len;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (len > left) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = p[k];
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

bool is_valid_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    // Skip ASCII 32 bytes at a time, then eight.
    if (i + 32 <= n) {
      uint64_t words[4];
      std::memcpy(words, p + i, 32);
      if (((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ULL) == 0) {
        i += 32;
        continue;
      }
    }
    if (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len = utf8_sequence_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

uint64_t digest64(std::string_view s) noexcept {
  // Two multiply-xorshift lanes over 8-byte words, folded with the length.
  constexpr uint64_t k1 = 0x9E3779B97F4A7C15ULL, k2 = 0xC2B2AE3D27D4EB4FULL;
  uint64_t a = 0x243F6A8885A308D3ULL ^ s.size(), b = 0x13198A2E03707344ULL;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    a = (a ^ w) * k1;
    a ^= a >> 29;
    b = (b + w) * k2;
    b ^= b >> 31;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, s.data() + i, s.size() - i);
  a = (a ^ tail) * k1;
  b = (b + tail + a) * k2;
  uint64_t h = a ^ (b >> 17) ^ (b << 23);
  h ^= h >> 33;
  h *= k2;
  h ^= h >> 29;
  return h;
}

namespace {

// Code points of bytes 0x80..0x9F in Windows-1252; the five undefined
// bytes map to themselves (Latin-1).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Where the next byte at or above 0x80 stands in [p, end); `end` when none.
const unsigned char* next_high_byte(const unsigned char* p, const unsigned char* end) noexcept {
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    uint64_t high = word & 0x8080808080808080ULL;
    if (high != 0) return p + (__builtin_ctzll(high) >> 3);
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

uint32_t cp1252_code_point(unsigned char c) noexcept { return c < 0xA0 ? kCp1252High[c - 0x80] : c; }

}  // namespace

size_t cp1252_utf8_size(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  size_t size = s.size();
  while ((p = next_high_byte(p, end)) < end) {
    size += cp1252_code_point(*p) < 0x800 ? 1 : 2;
    ++p;
  }
  return size;
}

char* cp1252_to_utf8(std::string_view s, char* out) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char* high = next_high_byte(p, end);
    std::memcpy(out, p, static_cast<size_t>(high - p));
    out += high - p;
    if (high == end) break;
    uint32_t cp = cp1252_code_point(*high);
    if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    p = high + 1;
  }
  return out;
}

namespace {

// The last byte of [begin, end) at or above 0x80, eight bytes at a time
// over ASCII; null when there is none.
const unsigned char* last_high_byte(const unsigned char* begin, const unsigned char* end) noexcept {
  const unsigned char* p = end;
  while (p - begin >= 8) {
    uint64_t word;
    std::memcpy(&word, p - 8, 8);
    if ((word & 0x8080808080808080ULL) != 0) break;
    p -= 8;
  }
  while (p > begin) {
    --p;
    if (*p >= 0x80) return p;
  }
  return nullptr;
}

}  // namespace

void cp1252_to_utf8_in_place(char* data, size_t size, size_t utf8_size) noexcept {
  // Back to front: every character takes at least as many bytes as it had,
  // so what is written never overtakes what is still to be read. Runs of
  // ASCII move in one piece; once nothing more grows, what is left in
  // front is already in its place.
  auto* bytes = reinterpret_cast<unsigned char*>(data);
  size_t from = size;
  size_t to = utf8_size;
  while (to > from) {
    const unsigned char* high = last_high_byte(bytes, bytes + from);
    if (high == nullptr) break;  // only when utf8_size was wrong
    size_t at = static_cast<size_t>(high - bytes);
    size_t run = from - at - 1;
    std::memmove(bytes + to - run, bytes + at + 1, run);
    to -= run;
    uint32_t cp = cp1252_code_point(*high);
    if (cp >= 0x800) {
      bytes[--to] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      bytes[--to] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[--to] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    } else {
      bytes[--to] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      bytes[--to] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    }
    from = at;
  }
}

std::string cp1252_to_utf8(std::string_view s) {
  std::string out(cp1252_utf8_size(s), '\0');
  cp1252_to_utf8(s, out.data());
  return out;
}

namespace {

// The next code point of valid UTF-8 at `i`, advancing `i`.
uint32_t next_code_point(std::string_view s, size_t& i) noexcept {
  auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[k])); };
  uint32_t c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  if (i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  uint32_t cp = c & (0xFF >> (len + 1));
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (b(i + k) & 0x3F);
  i += len;
  return cp;
}

}  // namespace

size_t utf8_to_single_byte(std::string_view s, SingleByte target, std::string& out) {
  out.clear();
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    size_t at = i;
    uint32_t cp = next_code_point(s, i);
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF) || (target == SingleByte::kLatin1 && cp <= 0xFF)) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    bool found = false;
    if (target == SingleByte::kCp1252) {
      for (uint32_t k = 0; k < 32; ++k) {
        if (kCp1252High[k] == cp) {
          out.push_back(static_cast<char>(0x80 + k));
          found = true;
          break;
        }
      }
    }
    if (!found) return at;
  }
  return std::string_view::npos;
}

}  // namespace tamrix
