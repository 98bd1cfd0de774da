#include "tamrix/utils/file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "tamrix/utils/text.hpp"

namespace tamrix {

int read_to_end(int fd, std::string& out) {
  // A regular file tells its size: room for all of it and one byte more
  // (a file that grows while read) makes one read the usual case.
  struct stat st;
  size_t want = 1 << 16;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && at < st.st_size) want = static_cast<size_t>(st.st_size - at) + 1;
  }
  size_t used = out.size();
  // Some room past the end too, untouched until used: text that turns out
  // to be Windows-1252 grows a little on its way to UTF-8, in place.
  reserve_advised(out, used + want + want / 32 + 4096);
  out.resize(used + want);
  for (;;) {
    if (used == out.size()) {
      // More than the size said: the file grew; go on in larger steps.
      reserve_advised(out, 2 * out.size());
      out.resize(out.capacity());
    }
    ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0) {
      int err = errno;
      out.resize(used);
      return err;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out.resize(used);
  return 0;
}

void advise_huge_pages(void* data, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{1} << 21;
  if (size < 2 * kHuge) return;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

void reserve_advised(std::string& s, size_t size) {
  if (size <= s.capacity()) return;
  s.reserve(size);
  advise_huge_pages(s.data(), s.capacity());
}

TextDecoding bytes_to_utf8_text(std::string& bytes, bool json_checks_itself) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  TextDecoding decoding;
  decoding.bom = std::string_view(bytes).starts_with(kBom);
  std::string_view body = std::string_view(bytes).substr(decoding.bom ? kBom.size() : 0);
  if (json_checks_itself) {
    size_t first = body.find_first_not_of(" \t\r\n");
    decoding.unchecked = first != std::string_view::npos && body[first] == '{';
  }
  if (decoding.unchecked || is_valid_utf8(body)) {
    if (decoding.bom) bytes.erase(0, kBom.size());
    return decoding;
  }
  decoding.cp1252 = true;
  size_t size = cp1252_utf8_size(body);
  size_t skip = bytes.size() - body.size();
  if (skip + size <= bytes.capacity()) {
    // Converted where it stands: no second copy of the text.
    size_t old_size = bytes.size();
    bytes.resize(skip + size);
    cp1252_to_utf8_in_place(bytes.data() + skip, old_size - skip, size);
    if (skip > 0) bytes.erase(0, skip);
    return decoding;
  }
  std::string converted;
  reserve_advised(converted, size);
  converted.resize(size);
  cp1252_to_utf8(body, converted.data());
  bytes.swap(converted);
  return decoding;
}

}  // namespace tamrix
