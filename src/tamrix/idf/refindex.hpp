// The reference index: where each name is defined (targets) and which fields
// point at it (referencers), keyed by list name, then by the ASCII-upper-cased
// value. Plain C++; IDF's native methods wrap these operations.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tamrix {

// (obj_idx, field index) of one field value in a model.
using FieldLoc = std::pair<size_t, int>;

// String-keyed maps that can be probed with a string_view, so a lookup
// needs no temporary std::string.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using RefValueMap = std::unordered_map<std::string, std::vector<FieldLoc>, StringHash, std::equal_to<>>;
using RefMap = std::unordered_map<std::string, RefValueMap, StringHash, std::equal_to<>>;

// Adds one location under (tag, upper-cased val). May throw std::bad_alloc;
// what was inserted before the failure stays (an empty map or vector at most).
void ref_register(RefMap& map, const std::string& tag, std::string_view val, size_t obj_idx, int field_idx);

// Removes the first matching location by swapping the last entry into its
// place; drops a value key, then a tag key, when left empty. A miss at any
// level does nothing.
void ref_unregister(RefMap& map, const std::string& tag, std::string_view val, size_t obj_idx, int field_idx);

// The locations under (tag, already upper-cased value); null when absent.
const std::vector<FieldLoc>* ref_find(const RefMap& map, const std::string& tag, const std::string& upper_val);

}  // namespace tamrix
