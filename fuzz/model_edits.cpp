// Random edits on a document model: loads, adds, field writes (also of an
// object's own values into another of its fields), trims, removals and
// lookups by name, driven by the input bytes. Every write must change the
// one value it writes; after every step the reference index, the class
// lists and the name indexes must equal what a recomputation from the live
// objects' values gives.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tamrix/idf/model.hpp"
#include "tamrix/utils/text.hpp"

using namespace tamrix;

namespace {

// Zones are named under ZoneNames; surfaces and lights point at them, and
// surfaces repeat (extensible) with vertices that refer to nothing.
constexpr const char* kDictionary =
    "!IDD_Version 1.0.0\n"
    "\\group Zones\n"
    "Zone,\n  A1; \\field Name\n      \\reference ZoneNames\n      \\reference AllNames\n"
    "Surface,\n  \\extensible:2\n  A1, \\field Name\n      \\reference SurfaceNames\n      \\reference AllNames\n"
    "  A2, \\field Zone Name\n      \\object-list ZoneNames\n"
    "  A3, \\field Other Name\n      \\object-list AllNames\n      \\object-list SurfaceNames\n"
    "  N1, \\field Vertex 1 X\n      \\begin-extensible\n  A4; \\field Vertex 1 Tag\n      \\object-list ZoneNames\n"
    "\\group Loads\n"
    "Lights,\n  A1, \\field Name\n  A2; \\field Zone Name\n      \\object-list ZoneNames\n";

const c_IDD& dictionary() {
  static c_IDD idd = [] {
    c_IDD d;
    if (read_idd(kDictionary, d)) std::abort();
    return d;
  }();
  return idd;
}

const char* const kWords[] = {"", "Z1", "z1", "Z2", "S1", "s1", "L1", "1.5", "Z1 ", "ALL", "x"};
constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool done() const { return pos >= size; }
  uint8_t next() { return pos < size ? data[pos++] : 0; }
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "model_edits: %s\n", what);
  std::abort();
}

// Writes `value` to field `field` of `obj` and checks that exactly that
// value changed (blanks added before it when it lies past the end).
void write_checked(Model* model, ObjectData& obj, size_t obj_idx, size_t field, std::string_view value) {
  std::vector<std::string> expected = obj.values.to_strings();
  std::string text(value);
  if (field < expected.size() || !text.empty()) {
    if (field >= expected.size()) expected.resize(field + 1);
    expected[field] = text;
  }
  if (Model::set_value(model, obj, obj_idx, field, value) != EditStatus::kOk) fail("a write ran out of memory");
  if (!(obj.values == expected)) fail("a write changed other values than its own");
}

using Flat = std::map<std::pair<std::string, std::string>, std::multiset<std::pair<size_t, int>>>;

Flat flatten(const RefMap& map) {
  Flat flat;
  for (const auto& [tag, values] : map) {
    if (values.empty()) fail("an empty list map stays in the index");
    size_t seen = 0;
    values.for_each([&](std::string_view value, const LocList& locs) {
      if (locs.empty()) fail("an empty location list stays in the index");
      if (values.find(value) == nullptr) fail("an entry cannot be found by its own key");
      auto& set = flat[{tag, std::string(value)}];
      for (const FieldLoc& loc : locs) set.insert({loc.first, loc.second});
      ++seen;
    });
    if (seen != values.size()) fail("the entry count is off");
  }
  return flat;
}

void check(Model& model) {
  const c_IDD& idd = dictionary();
  Flat targets, referencers;
  std::map<std::string, std::vector<size_t>> classes;
  for (size_t i = 0; i < model.slot_count(); ++i) {
    const ObjectData* data = model.object(i);
    if (data == nullptr) continue;
    const ClassDef& cls = idd.ordered_classes[data->class_idx];
    classes[to_ascii_upper(cls.name)].push_back(i);
    for (size_t f = 0; f < data->values.size(); ++f) {
      std::string_view value = data->values[f];
      const FieldDef* fd = get_field_def(&cls, f);
      if (value.empty() || fd == nullptr) continue;
      for (const std::string& r : fd->references) targets[{r, to_ascii_upper(value)}].insert({i, static_cast<int>(f)});
      for (const std::string& l : fd->object_lists) referencers[{l, to_ascii_upper(value)}].insert({i, static_cast<int>(f)});
    }
  }
  if (flatten(model.targets()) != targets) fail("targets differ from the values");
  if (flatten(model.referencers()) != referencers) fail("referencers differ from the values");

  // Class lists: every live object listed once under its class, in order.
  for (const auto& [key, positions] : model.index_map()) {
    std::vector<size_t> live;
    for (size_t p : positions) {
      if (model.object(p) != nullptr) live.push_back(p);
    }
    auto found = classes.find(key);
    std::vector<size_t> expected = found == classes.end() ? std::vector<size_t>() : found->second;
    if (live != expected) fail("a class list differs from the live objects");
  }
  for (const auto& [key, positions] : classes) {
    if (model.index_map().count(key) == 0) fail("a live object's class has no list");
  }

  // Lookups by name: the first live object of the class with that name.
  for (size_t c = 0; c < idd.ordered_classes.size(); ++c) {
    std::string key = to_ascii_upper(idd.ordered_classes[c].name);
    for (const char* word : kWords) {
      std::optional<size_t> found;
      if (model.find_by_name(c, key, word, found) != EditStatus::kOk) fail("lookup ran out of memory");
      std::optional<size_t> expected;
      auto it = classes.find(key);
      if (it != classes.end()) {
        for (size_t p : it->second) {
          const ObjectData* data = model.object(p);
          if (!data->values.empty() && to_ascii_lower(data->values[0]) == to_ascii_lower(std::string_view(word))) {
            expected = p;
            break;
          }
        }
      }
      if (found != expected) fail("a lookup by name differs from a scan");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const c_IDD& idd = dictionary();
  Model model(&idd);
  Bytes in{data, size};
  // Start from a small loaded text, so loaded and added objects mix.
  uint8_t start = in.next() % 3;
  const char* texts[] = {"", "! a zone\nZone,Z1;  ! its name\nLights,L1,z1;\r\nSurface,S1,Z1,S1,  ! x\n 1,Z2,2,z1;\n! end",
                         "Zone,Z1;Zone,Z1;Surface,S1,Z2,ALL;Lights,,Z1;"};
  if (model.load(std::string_view(texts[start]))) fail("a seed text failed to load");
  std::vector<ObjectPtr> detached;
  while (!in.done()) {
    uint8_t op = in.next() % 7;
    size_t slots = model.slot_count();
    switch (op) {
      case 0: {  // add an object with a few values
        auto obj = std::make_shared<ObjectData>();
        obj->class_idx = in.next() % idd.ordered_classes.size();
        size_t obj_idx = 0;
        if (model.append(obj, obj_idx) != EditStatus::kOk) fail("append ran out of memory");
        uint8_t count = in.next() % 8;
        for (uint8_t k = 0; k < count; ++k) write_checked(&model, *obj, obj_idx, k, kWords[in.next() % kWordCount]);
        break;
      }
      case 1: {  // write one field of a live object
        if (slots == 0) break;
        size_t obj_idx = in.next() % slots;
        ObjectData* obj = model.object(obj_idx);
        size_t field = in.next() % 9;
        const char* word = kWords[in.next() % kWordCount];
        if (obj != nullptr) write_checked(&model, *obj, obj_idx, field, word);
        break;
      }
      case 2: {  // trim
        if (slots == 0) break;
        size_t obj_idx = in.next() % slots;
        if (ObjectData* obj = model.object(obj_idx)) Model::trim_trailing_empty(&model, *obj);
        break;
      }
      case 3: {  // remove one object; it keeps its values and edits stay its own
        if (slots == 0) break;
        size_t obj_idx = in.next() % slots;
        if (model.object(obj_idx) == nullptr) break;
        ObjectPtr kept = model.shared(obj_idx);
        model.remove(obj_idx);
        write_checked(&model, *kept, obj_idx, 0, kWords[in.next() % kWordCount]);
        detached.push_back(kept);
        break;
      }
      case 4: {  // remove a whole class
        const ClassDef& cls = idd.ordered_classes[in.next() % idd.ordered_classes.size()];
        model.remove_class(to_ascii_upper(cls.name));
        break;
      }
      case 5: {  // write text out: one ';' per live object (no word holds one)
        std::string out;
        uint8_t how = in.next() % 4;
        if (how < 2) {
          model.write(out, FormatConfig{"", "", 0, true}, how == 0);
        } else if (how == 2) {
          model.write_original(out, generate_format_config());
        } else {
          model.write(out, generate_format_config(), false, true);
        }
        size_t live = 0;
        for (size_t i = 0; i < model.slot_count(); ++i) live += model.object(i) != nullptr;
        if (static_cast<size_t>(std::count(out.begin(), out.end(), ';')) != live) fail("written text misses objects");
        break;
      }
      case 6: {  // one value of an object written into another of its fields (a view of its own values)
        if (slots == 0) break;
        size_t obj_idx = in.next() % slots;
        ObjectData* obj = model.object(obj_idx);
        if (obj == nullptr || obj->values.empty()) break;
        size_t from = in.next() % obj->values.size();
        write_checked(&model, *obj, obj_idx, in.next() % 9, obj->values[from]);
        break;
      }
    }
    check(model);
  }
  return 0;
}
