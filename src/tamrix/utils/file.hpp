// Reading whole files into memory and turning their bytes into the UTF-8
// text the readers take. Plain C++ over POSIX calls; no Python here, so a
// binding can run all of it with the interpreter lock released.
#pragma once

#include <cstddef>
#include <string>

namespace tamrix {

// Reads what is left of the open file `fd` into `out` (appended) up to its
// end. Returns 0, or the errno of the call that failed: EINTR means a
// signal came in, and calling again goes on where it stopped. Throws
// std::bad_alloc.
int read_to_end(int fd, std::string& out);

// How file bytes were written.
struct TextDecoding {
  bool bom = false;     // they started with a UTF-8 byte-order mark (dropped)
  bool cp1252 = false;  // they are not UTF-8 and were read as Windows-1252
  bool unchecked = false;  // JSON text, left for its reader to check
};

// Turns file bytes into UTF-8 text in place: a leading byte-order mark is
// dropped, and bytes that are not UTF-8 are read as Windows-1252 (what
// real model files carry: degree signs, accented names). With
// `json_checks_itself`, bytes whose first non-blank is '{' are left as they
// are (but for the mark) for a JSON reader that checks UTF-8 as it reads.
// Throws std::bad_alloc.
TextDecoding bytes_to_utf8_text(std::string& bytes, bool json_checks_itself = false);

// Asks the kernel to back the whole 2 MiB pages inside [data, data + size)
// with huge pages, where it does so only when asked: a large buffer about
// to be written through then takes one page fault per 2 MiB instead of one
// per 4 KiB, which on virtual machines costs more than the writing. Only a
// hint; nothing happens for small buffers or on other systems.
void advise_huge_pages(void* data, size_t size) noexcept;

// s.reserve(size), the new room advised as above.
void reserve_advised(std::string& s, size_t size);

}  // namespace tamrix
