// The native interface of tamrix.utils, published as the capsule
// "tamrix.utils._C_API".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tamrix/binding/toolkit.hpp"

namespace tamrix {

// How a file read by read_source was written.
struct SourceReading {
  enum Encoding { kUtf8, kCp1252, kGiven };  // kGiven: the encoding asked for
  Encoding encoding = kUtf8;
  bool bom = false;  // it started with a UTF-8 byte-order mark
  // In: the caller reads JSON text with a reader that checks UTF-8 itself,
  // so read_source_text may leave a text whose first non-blank is '{'
  // unchecked; out: it did (the text may not be UTF-8).
  bool json_checks_itself = false;
  bool unchecked = false;
};

struct UtilsCAPI {
  static constexpr int kAbiVersion = 4;
  int abi_version;
  // The whole file as UTF-8 `bytes`, or null with an exception set.
  PyObject* (*read_utf8_bytes)(PyObject* filepath, PyObject* encoding);
  // The field text of a value; -1 with an exception set when the value
  // cannot be stored in a field.
  int (*any_to_string)(PyObject* value, std::string& out);
  // Local time as "YYYY-MM-DD HH:MM:SS".
  std::string (*get_current_time)();
  // The first run of ASCII digits as [start, end); (-1, -1) when none.
  std::pair<int32_t, int32_t> (*get_continuous_digits_indices)(std::string_view text);
  // As read_utf8_bytes, also telling how the file was written.
  PyObject* (*read_source)(PyObject* filepath, PyObject* encoding, SourceReading* reading);
  // As read_source, into `out` (replaced), reading and decoding with the
  // interpreter lock released; -1 with an exception set.
  int (*read_source_text)(PyObject* filepath, PyObject* encoding, SourceReading* reading, std::string& out);
};

inline constexpr const char* kUtilsCapsule = "tamrix.utils._C_API";

}  // namespace tamrix
