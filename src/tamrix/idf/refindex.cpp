#include "tamrix/idf/refindex.hpp"

#include "tamrix/utils/text.hpp"

namespace tamrix {

namespace {

// Upper-cases into storage reused across calls, so probing the index for an
// existing value allocates nothing.
std::string_view upper_scratch(std::string_view val) {
  thread_local std::string scratch;
  scratch.assign(val);
  ascii_upper_in_place(scratch);
  return scratch;
}

}  // namespace

void ref_register(RefMap& map, const std::string& tag, std::string_view val, size_t obj_idx, int field_idx) {
  std::string_view key = upper_scratch(val);
  auto tag_it = map.find(tag);
  if (tag_it == map.end()) tag_it = map.emplace(tag, RefValueMap()).first;
  RefValueMap& values = tag_it->second;
  auto val_it = values.find(key);
  if (val_it == values.end()) val_it = values.emplace(std::string(key), std::vector<FieldLoc>()).first;
  val_it->second.emplace_back(obj_idx, field_idx);
}

void ref_unregister(RefMap& map, const std::string& tag, std::string_view val, size_t obj_idx, int field_idx) {
  auto tag_it = map.find(tag);
  if (tag_it == map.end()) return;
  RefValueMap& values = tag_it->second;
  auto val_it = values.find(upper_scratch(val));
  if (val_it == values.end()) return;
  std::vector<FieldLoc>& locs = val_it->second;
  for (size_t i = 0; i < locs.size(); ++i) {
    if (locs[i].first == obj_idx && locs[i].second == field_idx) {
      locs[i] = locs.back();
      locs.pop_back();
      break;
    }
  }
  if (!locs.empty()) return;
  values.erase(val_it);
  if (values.empty()) map.erase(tag_it);
}

const std::vector<FieldLoc>* ref_find(const RefMap& map, const std::string& tag, const std::string& upper_val) {
  auto tag_it = map.find(tag);
  if (tag_it == map.end()) return nullptr;
  auto val_it = tag_it->second.find(upper_val);
  return val_it == tag_it->second.end() ? nullptr : &val_it->second;
}

}  // namespace tamrix
