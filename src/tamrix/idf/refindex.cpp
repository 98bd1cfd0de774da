#include "tamrix/idf/refindex.hpp"

#include <cstddef>
#include <algorithm>
#include <cstring>
#include <new>

#include "tamrix/utils/text.hpp"

namespace tamrix {

/*** LocList ***/

void LocList::release() noexcept {
  if (!inline_storage()) ::operator delete(heap_);
  cap_ = 1;
}

LocList::LocList(const LocList& other) : one_() {
  if (other.size_ <= 1) {
    if (other.size_ == 1) one_ = other.data()[0];
    size_ = other.size_;
    return;
  }
  heap_ = static_cast<FieldLoc*>(::operator new(sizeof(FieldLoc) * other.size_));
  std::memcpy(static_cast<void*>(heap_), other.data(), sizeof(FieldLoc) * other.size_);
  cap_ = other.size_;
  size_ = other.size_;
}

void LocList::take(LocList& other) noexcept {
  size_ = other.size_;
  cap_ = other.cap_;
  if (other.inline_storage()) {
    one_ = other.one_;
  } else {
    heap_ = other.heap_;
  }
  other.size_ = 0;
  other.cap_ = 1;
}

LocList::LocList(LocList&& other) noexcept : one_() { take(other); }

LocList& LocList::operator=(const LocList& other) {
  if (this != &other) {
    LocList copy(other);
    *this = std::move(copy);
  }
  return *this;
}

LocList& LocList::operator=(LocList&& other) noexcept {
  if (this != &other) {
    release();
    take(other);
  }
  return *this;
}

void LocList::push_back(const FieldLoc& loc) {
  if (size_ < cap_) {
    data()[size_++] = loc;
    return;
  }
  uint32_t cap = cap_ < 2 ? 2 : cap_ * 2;
  auto* grown = static_cast<FieldLoc*>(::operator new(sizeof(FieldLoc) * cap));
  std::memcpy(static_cast<void*>(grown), data(), sizeof(FieldLoc) * size_);
  grown[size_] = loc;
  release();
  heap_ = grown;
  cap_ = cap;
  ++size_;
}

/*** RefValueMap ***/

namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);
constexpr size_t kArenaChunk = 16 * 1024;
constexpr size_t kFirstArenaChunk = 256;

uint32_t hash_of(std::string_view key) noexcept { return static_cast<uint32_t>(std::hash<std::string_view>{}(key)); }

}  // namespace

RefValueMap::RefValueMap(const RefValueMap& other) {
  rehash(other.slots_.size());
  other.for_each([&](std::string_view key, const LocList& locs) { insert(key).locs = locs; });
}

RefValueMap& RefValueMap::operator=(const RefValueMap& other) {
  if (this != &other) {
    RefValueMap copy(other);
    *this = std::move(copy);
  }
  return *this;
}

size_t RefValueMap::probe(std::string_view key, uint32_t hash) const noexcept {
  if (slots_.empty()) return kNotFound;
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (empty_slot(slot)) return kNotFound;
    if (full(slot) && slot.hash_ == hash && slot.key() == key) return i;
  }
}

const RefValueMap::Entry* RefValueMap::find(std::string_view key) const noexcept {
  size_t at = probe(key, hash_of(key));
  return at == kNotFound ? nullptr : &slots_[at];
}

RefValueMap::Entry* RefValueMap::find(std::string_view key) noexcept {
  size_t at = probe(key, hash_of(key));
  return at == kNotFound ? nullptr : &slots_[at];
}

static_assert(sizeof(RefValueMap::Entry) == 32, "an index slot is meant to stay small");

std::string_view RefValueMap::Arena::keep(std::string_view key) {
  if (key.empty()) return std::string_view("", 0);
  if (key.size() > UINT32_MAX) throw std::bad_alloc();  // no value is this long
  if (key.size() > kArenaChunk / 4) {
    // A long key gets a block of its own, kept before the block being filled.
    auto block = std::make_unique<char[]>(key.size());
    std::memcpy(block.get(), key.data(), key.size());
    char* at = block.get();
    blocks.insert(blocks.empty() ? blocks.end() : blocks.end() - 1, std::move(block));
    bytes += key.size();
    return std::string_view(at, key.size());
  }
  if (left < key.size()) {
    // Small first: most lists of a model hold few names.
    size_t size = std::min(kArenaChunk, std::max(kFirstArenaChunk, block * 2));
    while (size < key.size()) size *= 2;
    blocks.push_back(std::make_unique<char[]>(size));
    block = size;
    left = size;
  }
  char* at = blocks.back().get() + (block - left);
  std::memcpy(at, key.data(), key.size());
  left -= key.size();
  bytes += key.size();
  return std::string_view(at, key.size());
}

void RefValueMap::rehash(size_t slot_count) {
  size_t count = 8;
  while (count < slot_count) count *= 2;
  std::vector<Slot> fresh(count);
  // Keys of dropped entries pile up in the arena: copy the live ones into a
  // new one when they are less than half of it. Everything that allocates
  // happens before the table changes.
  size_t live_bytes = 0;
  for (const Slot& slot : slots_) {
    if (full(slot)) live_bytes += slot.key_size_;
  }
  bool compact = arena_.bytes > 2 * live_bytes + kArenaChunk;
  Arena kept;
  std::vector<std::string_view> new_keys;
  if (compact) {
    new_keys.reserve(used_);
    for (const Slot& slot : slots_) {
      if (full(slot)) new_keys.push_back(kept.keep(slot.key()));
    }
  }
  size_t mask = count - 1;
  size_t k = 0;
  for (Slot& slot : slots_) {
    if (!full(slot)) continue;
    size_t i = slot.hash_ & mask;
    while (full(fresh[i])) i = (i + 1) & mask;
    fresh[i].hash_ = slot.hash_;
    fresh[i].key_data_ = compact ? new_keys[k++].data() : slot.key_data_;
    fresh[i].key_size_ = slot.key_size_;
    fresh[i].locs = std::move(slot.locs);
  }
  slots_ = std::move(fresh);
  gone_ = 0;
  if (compact) arena_ = std::move(kept);
}

RefValueMap::Entry& RefValueMap::insert(std::string_view key) {
  uint32_t hash = hash_of(key);
  size_t at = probe(key, hash);
  if (at != kNotFound) return slots_[at];
  // At most three quarters of the slots in use or gone.
  if ((used_ + gone_ + 1) * 4 > slots_.size() * 3) rehash(used_ < 6 ? 8 : used_ * 2 + 2);
  std::string_view kept = arena_.keep(key);
  size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (full(slots_[i])) i = (i + 1) & mask;
  if (!empty_slot(slots_[i])) --gone_;
  Slot& slot = slots_[i];
  slot.hash_ = hash;
  slot.key_data_ = kept.data();
  slot.key_size_ = static_cast<uint32_t>(kept.size());
  slot.locs = LocList();
  ++used_;
  return slot;
}

void RefValueMap::erase(Entry* entry) noexcept {
  entry->locs = LocList();
  entry->key_data_ = nullptr;
  entry->key_size_ = 1;  // dropped, not empty: probes go on past it
  --used_;
  ++gone_;
}

/*** The index ***/

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
  RefValueMap::Entry& entry = values.insert(key);
  try {
    entry.locs.push_back(FieldLoc(obj_idx, field_idx));
  } catch (const std::bad_alloc&) {
    if (entry.locs.empty()) values.erase(&entry);
    throw;
  }
}

void ref_unregister(RefMap& map, const std::string& tag, std::string_view val, size_t obj_idx, int field_idx) {
  auto tag_it = map.find(tag);
  if (tag_it == map.end()) return;
  RefValueMap& values = tag_it->second;
  RefValueMap::Entry* entry = values.find(upper_scratch(val));
  if (entry == nullptr) return;
  LocList& locs = entry->locs;
  for (size_t i = 0; i < locs.size(); ++i) {
    if (locs[i].first == obj_idx && locs[i].second == field_idx) {
      locs[i] = locs.back();
      locs.pop_back();
      break;
    }
  }
  if (!locs.empty()) return;
  values.erase(entry);
  if (values.empty()) map.erase(tag_it);
}

const LocList* ref_find(const RefMap& map, const std::string& tag, const std::string& upper_val) {
  auto tag_it = map.find(tag);
  if (tag_it == map.end()) return nullptr;
  const RefValueMap::Entry* entry = tag_it->second.find(upper_val);
  return entry == nullptr ? nullptr : &entry->locs;
}

}  // namespace tamrix
