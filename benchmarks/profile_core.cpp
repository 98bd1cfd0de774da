// A native driver of the file-format core, for profiling without the
// interpreter (callgrind, perf):
//
//   g++ -O2 -g -std=c++20 -I src benchmarks/profile_core.cpp \
//       $(sed 's|^|src/tamrix/|' src/tamrix/core_sources.txt) -o /tmp/profile_core
//   valgrind --tool=callgrind /tmp/profile_core idd IDD_FILE [N]
//   valgrind --tool=callgrind /tmp/profile_core load IDD_FILE IDF_FILE [N]
//   valgrind --tool=callgrind /tmp/profile_core format IDD_FILE IDF_FILE [N]
//   /tmp/profile_core original IDD_FILE IDF_FILE [N]   (the source layout)
//   /tmp/profile_core format_at IDD_FILE IDF_FILE [N]  (as IDF.format() writes)
//   /tmp/profile_core dump IDD_FILE   (what the reader keeps, as text)
//   /tmp/profile_core memory IDD_FILE IDF_FILE   (where a loaded model's heap goes)
//   /tmp/profile_core threads IDD_FILE IDF_FILE [N]   (two loads in a row against two threads)
//   /tmp/profile_core epjson-load IDD_FILE EPJSON_FILE [N]
//   /tmp/profile_core epjson-write IDD_FILE IDF_OR_EPJSON_FILE [N]
//
// Each step runs N times (default 1) and prints its best wall time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <malloc.h>
#include <string>

#include "tamrix/idd/idd_core.hpp"
#include "tamrix/idf/epjson.hpp"
#include "tamrix/idf/model.hpp"

namespace {

std::string read_file(const char* path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::string text(static_cast<size_t>(f.tellg()), '\0');
  f.seekg(0);
  f.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}

// Everything the dictionary reader keeps, as text: two builds of the reader
// must print the same.
void dump(const tamrix::c_IDD& idd) {
  std::printf("version %s\n", idd.version.c_str());
  for (const tamrix::ClassDef& c : idd.ordered_classes) {
    std::printf("class %s|%s|%d|%d%d|ext %d %d %d\n", c.name.c_str(), c.group.c_str(), c.min_fields, c.unique_object,
                c.required_object, c.extensible.is_extensible, c.extensible.begin_index, c.extensible.size);
    for (const tamrix::ExtPattern& p : c.extensible.patterns) {
      std::printf(" pat %s|%s|%s|%s|%d|%d\n", p.prefix.c_str(), p.suffix.c_str(), p.search_prefix.c_str(),
                  p.search_suffix.c_str(), p.number, p.step);
    }
    for (const tamrix::FieldDef& f : c.fields) {
      std::printf(" field %s|%s|%d|%s|%s|%d%d|%d|%d%d%.17g|%d%d%.17g\n", f.name.c_str(), f.code.c_str(), f.required,
                  f.units.c_str(), f.default_val.c_str(), f.autosizable, f.autocalculatable, f.field_type,
                  f.has_minimum, f.minimum_exclusive, f.minimum, f.has_maximum, f.maximum_exclusive, f.maximum);
      for (const auto& s : f.choices) std::printf("  key %s\n", s.c_str());
      for (const auto& s : f.references) std::printf("  ref %s\n", s.c_str());
      for (const auto& s : f.object_lists) std::printf("  list %s\n", s.c_str());
    }
    for (size_t i : c.field_idx_with_default) std::printf(" default %zu\n", i);
    for (const tamrix::FieldDef& f : c.fields) std::printf(" idx %s %d\n", f.name.c_str(), c.field_index.find(c.fields, f.name));
    std::vector<std::pair<std::string, int>> m(c.attribute_key_index_map.begin(), c.attribute_key_index_map.end());
    std::sort(m.begin(), m.end());
    for (const auto& [k, v] : m) std::printf(" attr %s %d\n", k.c_str(), v);
    for (int i = 0; i < static_cast<int>(c.fields.size()) * 2 + 3; ++i) {
      std::printf(" name %d %s\n", i, tamrix::get_field_name(&c, i, true).c_str());
    }
  }
  std::vector<std::pair<std::string, size_t>> m(idd.class_map.begin(), idd.class_map.end());
  std::sort(m.begin(), m.end());
  for (const auto& [k, v] : m) std::printf("map %s %zu\n", k.c_str(), v);
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: profile_core idd|load|format IDD [IDF] [N]\n");
    return 2;
  }
  std::string mode = argv[1];
  std::string idd_text = read_file(argv[2]);
  bool needs_idf = mode != "idd" && mode != "dump";
  int n_arg = needs_idf ? 4 : 3;
  int repeat = argc > n_arg ? std::atoi(argv[n_arg]) : 1;
  double best = 1e9;
  tamrix::c_IDD idd;
  if (mode == "dump") {
    tamrix::IddError e = tamrix::read_idd(idd_text, idd);
    if (e) {
      std::printf("error line %d: %s\n", e.line, e.message.c_str());
      return 0;
    }
    dump(idd);
    return 0;
  }
  if (mode == "idd") {
    for (int i = 0; i < repeat; ++i) {
      tamrix::c_IDD fresh;
      double t = now();
      tamrix::IddError e = tamrix::read_idd(idd_text, fresh);
      best = std::min(best, now() - t);
      if (e) {
        std::fprintf(stderr, "line %d: %s\n", e.line, e.message.c_str());
        return 1;
      }
    }
    std::printf("idd: %.2f ms\n", best * 1e3);
    return 0;
  }
  if (tamrix::read_idd(idd_text, idd)) return 1;
  std::string idf_text = read_file(argv[3]);
  if (mode == "epjson-load") {
    for (int i = 0; i < repeat; ++i) {
      tamrix::Model model(&idd);
      double t = now();
      tamrix::EpjsonError e = tamrix::load_epjson(model, idf_text);
      if (e) {
        std::fprintf(stderr, "%s\n", e.message.c_str());
        return 1;
      }
      best = std::min(best, now() - t);
    }
    std::printf("epjson-load: %.2f ms\n", best * 1e3);
    return 0;
  }
  if (mode == "epjson-write") {
    tamrix::Model model(&idd);
    if (tamrix::looks_like_epjson(idf_text) ? bool(tamrix::load_epjson(model, idf_text))
                                            : bool(model.load(std::string_view(idf_text)))) {
      return 1;
    }
    size_t size = 0;
    for (int i = 0; i < repeat; ++i) {
      std::string out;
      double t = now();
      tamrix::EpjsonError e = tamrix::write_epjson(model, out);
      if (e) {
        std::fprintf(stderr, "%s\n", e.message.c_str());
        return 1;
      }
      best = std::min(best, now() - t);
      size = out.size();
    }
    std::printf("epjson-write: %.2f ms, %.0f MB/s\n", best * 1e3, size / best / 1e6);
    return 0;
  }
  if (mode == "threads") {
    // Two loads (text read from the file each time, model freed) one after
    // the other, then on two threads at once: what the core alone gains.
    auto one = [&] {
      tamrix::Model model(&idd);
      std::string text = read_file(argv[3]);
      if (model.load(std::move(text))) std::abort();
    };
    double seq = 1e9, par = 1e9;
    for (int i = 0; i < repeat; ++i) {
      double t = now();
      one();
      one();
      seq = std::min(seq, now() - t);
      t = now();
      std::thread a(one), b(one);
      a.join();
      b.join();
      par = std::min(par, now() - t);
    }
    std::printf("two loads: %.1f ms in a row, %.1f ms on two threads: %.2fx\n", seq * 1e3, par * 1e3, seq / par);
    return 0;
  }
  if (mode == "load") {
    for (int i = 0; i < repeat; ++i) {
      tamrix::Model model(&idd);
      double t = now();
      if (model.load(std::string_view(idf_text))) return 1;
      best = std::min(best, now() - t);
    }
    std::printf("load: %.2f ms\n", best * 1e3);
    return 0;
  }
  if (mode == "memory") {
    // Heap in use (glibc's count, chunk overheads included) after each step;
    // the pieces are told apart by dropping them one at a time.
    auto in_use = [] {
      struct mallinfo2 m = mallinfo2();
      return static_cast<double>(m.uordblks + m.hblkhd);
    };
    double file = static_cast<double>(idf_text.size());
    auto report = [&](const char* what, double bytes) {
      std::printf("%-34s %8.1f MB  %5.2fx the file\n", what, bytes / 1e6, bytes / file);
    };
    double before = in_use();
    auto model = std::make_unique<tamrix::Model>(&idd);
    if (model->load(std::string(idf_text))) return 1;
    double loaded = in_use();
    report("loaded model (native heap)", loaded - before);
    model->targets().clear();
    model->targets().rehash(0);
    model->referencers().clear();
    model->referencers().rehash(0);
    double no_index = in_use();
    report("  reference index", loaded - no_index);
    model->index_map().clear();
    double no_lists = in_use();
    report("  class lists", no_index - no_lists);
    size_t objects = model->slot_count();
    size_t values = 0;
    size_t value_heap = 0;
    for (const auto& slot : model->slots()) {
      if (slot == nullptr) continue;
      values += slot->values.size();
      value_heap += slot->values.heap_bytes();
    }
    model->slots().clear();
    model->slots().shrink_to_fit();
    double no_objects = in_use();
    report("  objects and their values", no_lists - no_objects);
    report("    of which value lists (requested)", static_cast<double>(value_heap));
    std::printf("    (%zu objects, %zu values)\n", objects, values);
    model->set_source(nullptr);
    double empty = in_use();
    report("  source text", no_objects - empty);
    report("  rest", empty - before);
    return 0;
  }
  tamrix::Model model(&idd);
  if (model.load(std::string_view(idf_text))) return 1;
  tamrix::FormatConfig config = tamrix::generate_format_config();
  size_t size = 0;
  for (int i = 0; i < repeat; ++i) {
    std::string out;
    double t = now();
    if (mode == "original") {
      model.write_original(out, config);
    } else if (mode == "format_at") {
      // As IDF.format() writes: the exact size, then straight into storage.
      size_t n = model.written_size(config, false);
      auto room = std::make_unique_for_overwrite<char[]>(n);
      out.assign(room.get(), model.write_at(room.get(), config, false));
    } else {
      model.write(out, config, false);
    }
    best = std::min(best, now() - t);
    size = out.size();
  }
  std::printf("%s: %.2f ms, %.0f MB/s\n", mode.c_str(), best * 1e3, size / best / 1e6);
  return 0;
}
