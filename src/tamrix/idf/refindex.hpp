// The reference index: where each name is defined (targets) and which fields
// point at it (referencers), keyed by list name, then by the ASCII-upper-cased
// value. Plain C++; IDF's native methods wrap these operations.
//
// A model registers every name it holds, so the index is kept compact: per
// list, one open-addressing table whose keys live in an arena, and location
// lists that hold a single location in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tamrix {

// (obj_idx, field index) of one field value in a model.
using FieldLoc = std::pair<uint32_t, int32_t>;  // a model holds far fewer than 2^32 objects

// String-keyed maps that can be probed with a string_view, so a lookup
// needs no temporary std::string.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// The locations of one name, in registration order (a removal moves the
// last one into the gap). One location is held in place.
class LocList {
 public:
  LocList() noexcept : one_() {}
  LocList(const LocList& other);
  LocList(LocList&& other) noexcept;
  LocList& operator=(const LocList& other);
  LocList& operator=(LocList&& other) noexcept;
  ~LocList() { release(); }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const FieldLoc* begin() const noexcept { return data(); }
  const FieldLoc* end() const noexcept { return data() + size_; }
  FieldLoc* begin() noexcept { return data(); }
  FieldLoc* end() noexcept { return data() + size_; }
  FieldLoc& operator[](size_t i) noexcept { return data()[i]; }
  const FieldLoc& operator[](size_t i) const noexcept { return data()[i]; }
  FieldLoc& back() noexcept { return data()[size_ - 1]; }
  void push_back(const FieldLoc& loc);  // may throw std::bad_alloc
  void pop_back() noexcept { --size_; }

 private:
  bool inline_storage() const noexcept { return cap_ <= 1; }
  FieldLoc* data() noexcept { return inline_storage() ? &one_ : heap_; }
  const FieldLoc* data() const noexcept { return inline_storage() ? &one_ : heap_; }
  void release() noexcept;
  void take(LocList& other) noexcept;  // after release(): other's contents, other left empty

  uint32_t size_ = 0;
  uint32_t cap_ = 1;
  union {
    FieldLoc one_;
    FieldLoc* heap_;
  };
};

// Upper-cased value -> locations, for one list: open addressing over
// slots, keys copied once into an arena.
class RefValueMap {
 public:
  // 32 bytes: the key as a pointer into the arena and a 32-bit size (a
  // value is far shorter), and its hash.
  struct Entry {
    LocList locs;
    std::string_view key() const noexcept { return std::string_view(key_data_, key_size_); }

   private:
    friend class RefValueMap;
    const char* key_data_ = nullptr;  // null: an empty slot, or a dropped entry (key_size_ 1)
    uint32_t key_size_ = 0;
    uint32_t hash_ = 0;
  };

  RefValueMap() = default;
  RefValueMap(const RefValueMap& other);
  RefValueMap(RefValueMap&&) noexcept = default;
  RefValueMap& operator=(const RefValueMap& other);
  RefValueMap& operator=(RefValueMap&&) noexcept = default;

  size_t size() const noexcept { return used_; }
  bool empty() const noexcept { return used_ == 0; }
  // The entry of `key`, or null.
  const Entry* find(std::string_view key) const noexcept;
  Entry* find(std::string_view key) noexcept;
  // The entry of `key`, made empty when absent. May throw std::bad_alloc
  // (the map is then unchanged).
  Entry& insert(std::string_view key);
  // Drops an entry found by find().
  void erase(Entry* entry) noexcept;

  // Calls fn(key, locs) for every entry, in no particular order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (const Entry& slot : slots_) {
      if (full(slot)) fn(slot.key(), slot.locs);
    }
  }
  // The same, with the locations open to reordering.
  template <class Fn>
  void for_each_mutable(Fn&& fn) {
    for (Entry& slot : slots_) {
      if (full(slot)) fn(slot.key(), slot.locs);
    }
  }

 private:
  using Slot = Entry;
  static bool full(const Slot& slot) noexcept { return slot.key_data_ != nullptr; }
  static bool empty_slot(const Slot& slot) noexcept { return slot.key_data_ == nullptr && slot.key_size_ == 0; }

  // Key bytes, copied once; dropped keys stay until the table is rebuilt.
  struct Arena {
    std::vector<std::unique_ptr<char[]>> blocks;
    size_t left = 0;   // free bytes at the end of the last block
    size_t block = 0;  // size of the last block (blocks double up to a limit)
    size_t bytes = 0;  // key bytes held, live or not
    std::string_view keep(std::string_view key);  // may throw std::bad_alloc
  };

  size_t probe(std::string_view key, uint32_t hash) const noexcept;  // slot of key, or npos
  void rehash(size_t slot_count);                                    // may throw; unchanged then

  std::vector<Slot> slots_;
  size_t used_ = 0;
  size_t gone_ = 0;
  Arena arena_;
};

using RefMap = std::unordered_map<std::string, RefValueMap, StringHash, std::equal_to<>>;

// Adds one location under (tag, upper-cased val). May throw std::bad_alloc;
// what was inserted before the failure stays (an empty map at most).
void ref_register(RefMap& map, const std::string& tag, std::string_view val, size_t obj_idx, int field_idx);

// Removes the first matching location by swapping the last entry into its
// place; drops a value key, then a tag key, when left empty. A miss at any
// level does nothing.
void ref_unregister(RefMap& map, const std::string& tag, std::string_view val, size_t obj_idx, int field_idx);

// The locations under (tag, already upper-cased value); null when absent.
const LocList* ref_find(const RefMap& map, const std::string& tag, const std::string& upper_val);

}  // namespace tamrix
