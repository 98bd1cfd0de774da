// The native interface of tamrix.lexer, published as the capsule
// "tamrix.lexer._C_API" and imported by the modules that tokenize.
#pragma once

#include "tamrix/binding/toolkit.hpp"
#include "tamrix/lexer/lexer_core.hpp"

namespace tamrix {

struct LexerObject {
  PyObject_HEAD
  LexerCore core;
};

// Native methods of Lexer, in table order.
struct LexerCAPI {
  static constexpr int kAbiVersion = 1;
  int abi_version;
  PyTypeObject* Lexer_type;
  // Needs the lock; `file_content` is bytes or bytearray. Failures are
  // reported as unraisable and leave the lexer unchanged.
  void (*c_init)(LexerObject* self, PyObject* file_content, bool is_idd);
  // The four steps below run without the lock.
  bool (*scan_next_line)(LexerObject* self, std::string& line);
  Token (*next_token)(LexerObject* self);
  void (*tokenize_line)(LexerObject* self, const std::string& line);
  void (*push_text_token)(LexerObject* self, std::string& builder);
  // next_token that moves the token out of the buffer: for a lexer owned by
  // one reader that never looks back (the document loader's).
  Token (*take_token)(LexerObject* self);
};

inline constexpr const char* kLexerCapsule = "tamrix.lexer._C_API";

// A new, empty Lexer: allocated without running its initializer.
inline LexerObject* new_lexer(const LexerCAPI* api) {
  return reinterpret_cast<LexerObject*>(binding::new_instance(api->Lexer_type, api->Lexer_type));
}

}  // namespace tamrix
