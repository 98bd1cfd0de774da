// epJSON text -> model -> epJSON again. Checks, besides the sanitizers: a
// document the reader accepts writes out as a fixed point (written, read
// and written again, the text is the same); the model it gives, written as
// IDF text and read back from that, writes the same epJSON (values read
// from epJSON can always stand in IDF text); the version look-up and the
// number formatting take any bytes, and a formatted number formats to
// itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tamrix/idf/epjson.hpp"
#include "tamrix/idf/model.hpp"

using namespace tamrix;

namespace {

// Named and unnamed classes, choices, numbers, an extensible class from
// the engine's table and one that is not.
constexpr const char* kDictionary =
    "!IDD_Version 1.0.0\n"
    "\\group G\n"
    "Version,\n  A1; \\field Version Identifier\n"
    "Zone,\n  A1, \\field Name\n      \\reference ZoneNames\n  N1, \\field Multiplier\n      \\type integer\n"
    "  N2, \\field Volume\n      \\autocalculatable\n  A2, \\field Kind\n      \\type choice\n      \\key Simple\n"
    "      \\key TARP\n  A3; \\field Note\n"
    "BuildingSurface:Detailed,\n  \\extensible:3\n  A1, \\field Name\n  A2, \\field Zone Name\n"
    "      \\object-list ZoneNames\n  N1, \\field Vertex 1 X-coordinate\n      \\begin-extensible\n"
    "  N2, \\field Vertex 1 Y-coordinate\n  N3; \\field Vertex 1 Z-coordinate\n"
    "Schedule:Compact,\n  \\extensible:1\n  A1, \\field Name\n  A2, \\field Field 1\n      \\begin-extensible\n"
    "  A3; \\field Field 2\n"
    "Output:Variable,\n  A1, \\field Key Value\n  A2, \\field Variable Name\n  A3; \\field Reporting Frequency\n";

const c_IDD& dictionary() {
  static c_IDD idd = [] {
    c_IDD d;
    if (read_idd(kDictionary, d)) std::abort();
    return d;
  }();
  return idd;
}

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "epjson: %s\n--- first ---\n%s\n--- second ---\n%s\n", what, a.c_str(), b.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)epjson_version(text);
  (void)looks_like_epjson(text);
  std::string number;
  if (size < 64 && append_json_number(number, text)) {
    std::string again;
    if (!append_json_number(again, number) || again != number) fail("a number does not format to itself", number, again);
  }

  Model model(&dictionary());
  if (load_epjson(model, text)) return 0;
  std::string first;
  if (write_epjson(model, first)) return 0;  // refused: two objects under one name
  Model back(&dictionary());
  if (EpjsonError e = load_epjson(back, first)) fail("written epJSON does not read back", first, e.message);
  std::string second;
  if (write_epjson(back, second)) fail("read-back model is refused", first, second);
  if (first != second) fail("epJSON is not a fixed point", first, second);

  std::string idf;
  model.write(idf, generate_format_config(), true);
  Model from_idf(&dictionary());
  if (from_idf.load(std::string_view(idf))) fail("written IDF does not read back", first, idf);
  std::string third;
  if (write_epjson(from_idf, third)) fail("model read from IDF is refused", first, idf);
  if (third != first) fail("IDF text changed the model", first, third);
  return 0;
}
