// Byte-string helpers shared by the file-format core: ASCII case folding,
// trimming, digit runs, UTF-8 checking and Windows-1252 decoding.
// Plain C++; no Python here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tamrix {

// A table marking the bytes of `bytes` among all 256, for scans that test
// one byte at a time.
constexpr std::array<bool, 256> byte_set(std::string_view bytes) noexcept {
  std::array<bool, 256> table{};
  for (char c : bytes) table[static_cast<unsigned char>(c)] = true;
  return table;
}

inline char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c; }
inline char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; }

// Only a-z / A-Z are folded; every other byte (UTF-8 sequences included)
// is kept as is.
std::string to_ascii_upper(std::string_view s);
std::string to_ascii_lower(std::string_view s);
void ascii_upper_in_place(std::string& s) noexcept;
void ascii_lower_in_place(std::string& s) noexcept;
bool ascii_iequals(std::string_view a, std::string_view b) noexcept;

// The text without leading and trailing space, tab, CR and LF.
std::string trim_string(std::string_view s);
inline std::string_view trim_view(std::string_view s) noexcept {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t first = 0;
  while (first < s.size() && blank(s[first])) ++first;
  size_t last = s.size();
  while (last > first && blank(s[last - 1])) --last;
  return s.substr(first, last - first);
}
// The text without leading and trailing CR and LF.
std::string trim_newlines(std::string_view s);

// The first run of ASCII digits as [start, end); (-1, -1) when there is none.
std::pair<int32_t, int32_t> first_digit_run(std::string_view s) noexcept;

bool is_valid_utf8(std::string_view s) noexcept;
// The length of the UTF-8 sequence at `p` (whose first byte is >= 0x80),
// `left` bytes being readable there; 0 when it is not a valid one (overlong
// forms, surrogates and values past U+10FFFF are not).
size_t utf8_sequence_length(const unsigned char* p, size_t left) noexcept;
// Whether every byte is below 0x80.
bool is_ascii(std::string_view s) noexcept;

// A 64-bit digest of a text, to tell whether two texts are the same (not a
// cryptographic hash).
uint64_t digest64(std::string_view s) noexcept;
// Decodes Windows-1252 text (the five bytes it leaves undefined are taken
// as Latin-1) into UTF-8.
std::string cp1252_to_utf8(std::string_view s);
// The same in two steps, for a caller that provides the room: the size of
// the UTF-8 text, then the text written at `out` (returns its end).
size_t cp1252_utf8_size(std::string_view s) noexcept;
char* cp1252_to_utf8(std::string_view s, char* out) noexcept;
// The same within one buffer: the `size` bytes at `data` become the
// `utf8_size` bytes of their UTF-8 form (cp1252_utf8_size), written from
// the back; the buffer must have room for them.
void cp1252_to_utf8_in_place(char* data, size_t size, size_t utf8_size) noexcept;

// Encodes valid UTF-8 text as Windows-1252 (the five undefined bytes
// coming back from the code points cp1252_to_utf8 gives them) or Latin-1.
// Returns npos, or the byte offset of the first character the target
// cannot hold (`out` then holds what came before it).
enum class SingleByte { kCp1252, kLatin1 };
size_t utf8_to_single_byte(std::string_view s, SingleByte target, std::string& out);

}  // namespace tamrix
