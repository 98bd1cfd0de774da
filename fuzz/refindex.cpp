// The reference index's value table against a plain std::map: registrations
// and removals of keys of every length (long ones get blocks of their own;
// many dropped keys make the table copy its live keys into a new arena), and
// after every step the same entries, found by their keys and listed once.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tamrix/idf/refindex.hpp"

using namespace tamrix;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "refindex: %s\n", what);
  std::abort();
}

using Reference = std::map<std::string, std::vector<FieldLoc>>;

void check(const RefMap& map, const std::map<std::string, Reference>& want) {
  if (map.size() != want.size()) fail("list count differs");
  for (const auto& [tag, values] : want) {
    auto it = map.find(tag);
    if (it == map.end()) fail("a list is missing");
    const RefValueMap& got = it->second;
    if (got.size() != values.size()) fail("entry count differs");
    size_t listed = 0;
    got.for_each([&](std::string_view key, const LocList& locs) {
      auto found = values.find(std::string(key));
      if (found == values.end()) fail("an entry that should not be there");
      if (!std::equal(locs.begin(), locs.end(), found->second.begin(), found->second.end())) fail("locations differ");
      ++listed;
    });
    if (listed != values.size()) fail("entries listed more or less than once");
    for (const auto& [key, locs] : values) {
      const LocList* got_locs = ref_find(map, tag, key);
      if (got_locs == nullptr || got_locs->size() != locs.size()) fail("a key is not found");
    }
  }
  // Copies are whole and independent.
  RefMap copy = map;
  if (copy.size() != map.size()) fail("a copy differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RefMap map;
  std::map<std::string, Reference> want;
  size_t pos = 0;
  auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
  const std::string tags[] = {"ZoneNames", "AllNames", "Other"};
  while (pos < size) {
    uint8_t op = next();
    const std::string& tag = tags[op % 3];
    // Keys: a short one from a small set, or a long run of one letter.
    uint8_t k = next();
    std::string key = (k & 0x80) ? std::string(static_cast<size_t>(k & 0x7F) * 9, static_cast<char>('A' + k % 26))
                                 : "K" + std::to_string(k % 40);
    size_t obj = next() % 8;
    int field = next() % 3;
    if ((op >> 2) % 3 != 0) {
      ref_register(map, tag, key, obj, field);
      want[tag][key].push_back(FieldLoc(static_cast<uint32_t>(obj), field));
    } else {
      ref_unregister(map, tag, key, obj, field);
      auto t = want.find(tag);
      if (t != want.end()) {
        auto v = t->second.find(key);
        if (v != t->second.end()) {
          std::vector<FieldLoc>& locs = v->second;
          for (size_t i = 0; i < locs.size(); ++i) {
            if (locs[i].first == obj && locs[i].second == field) {
              locs[i] = locs.back();
              locs.pop_back();
              break;
            }
          }
          if (locs.empty()) t->second.erase(v);
          if (t->second.empty()) want.erase(t);
        }
      }
    }
    check(map, want);
  }
  return 0;
}
