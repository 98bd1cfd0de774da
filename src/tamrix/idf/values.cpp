#include "tamrix/idf/values.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

namespace tamrix {

namespace {

constexpr size_t kMaxRecords = (size_t{1} << 31) - 1;
constexpr size_t kMaxArea = 0xFFFFFFFFu;

// Bytes a value takes in the area: its text and a NUL byte after it.
// Throws std::bad_alloc for a value too long for a record.
size_t owned_size(size_t length) {
  if (length >= 0x80000000u) throw std::bad_alloc();
  return length == 0 ? 0 : length + 1;
}
size_t owned_size(std::string_view value) { return owned_size(value.size()); }

}  // namespace

ValueList::Rep* ValueList::allocate(size_t cap, bool narrow, size_t room) {
  if (cap > kMaxRecords || room > kMaxArea || (narrow && room != 0)) throw std::bad_alloc();
  size_t bytes = sizeof(Rep) + cap * (narrow ? sizeof(uint32_t) : sizeof(Wide)) + room;
  void* raw = ::operator new(bytes);
  Rep* rep = new (raw) Rep{};
  rep->size = 0;
  rep->cap = static_cast<uint32_t>(cap);
  rep->narrow = narrow ? 1u : 0u;
  rep->used = 0;
  rep->room = static_cast<uint32_t>(room);
  return rep;
}

void ValueList::destroy(Rep* rep) noexcept {
  rep->~Rep();
  ::operator delete(static_cast<void*>(rep));
}

ValueList::Wide ValueList::append_owned(Rep* rep, std::string_view value) noexcept {
  if (value.empty()) return Wide{0, kOwned};
  char* at = area(rep) + rep->used;
  // Past every value held in the area: a view of one of them stays intact.
  std::memmove(at, value.data(), value.size());
  at[value.size()] = '\0';
  Wide record{rep->used, static_cast<uint32_t>(value.size()) | kOwned};
  rep->used += static_cast<uint32_t>(value.size() + 1);
  return record;
}

ValueList::ValueList(const ValueList& other) {
  const Rep* from = other.rep_;
  if (from == nullptr) return;
  Rep* rep = allocate(from->cap, from->narrow != 0, from->narrow ? 0 : from->room);
  rep->text = from->text;
  rep->size = from->size;
  rep->used = from->used;
  if (from->narrow) {
    std::memcpy(narrow_records(rep), narrow_records(from), sizeof(uint32_t) * from->size);
  } else {
    std::memcpy(static_cast<void*>(wide_records(rep)), wide_records(from), sizeof(Wide) * from->size);
    std::memcpy(area(rep), area(from), from->used);
  }
  rep_ = rep;
}

ValueList& ValueList::operator=(const ValueList& other) {
  if (this != &other) {
    ValueList copy(other);
    *this = std::move(copy);
  }
  return *this;
}

ValueList& ValueList::operator=(ValueList&& other) noexcept {
  if (this != &other) {
    release();
    rep_ = other.rep_;
    other.rep_ = nullptr;
  }
  return *this;
}

ValueList::ValueList(const std::vector<std::string>& values) {
  if (values.empty()) return;
  size_t room = 0;
  for (const std::string& value : values) room += owned_size(value);
  Rep* rep = allocate(values.size(), false, room);
  Wide* records = wide_records(rep);
  for (const std::string& value : values) records[rep->size++] = append_owned(rep, value);
  rep_ = rep;
}

ValueList ValueList::copied(const std::string_view* values, size_t count) {
  ValueList list;
  if (count == 0) return list;
  size_t room = 0;
  for (size_t i = 0; i < count; ++i) room += owned_size(values[i]);
  Rep* rep = allocate(count, false, room);
  // As append_owned does, with the sizes kept in locals (the bytes written
  // could otherwise change them, for all the compiler knows).
  Wide* records = wide_records(rep);
  char* bytes = area(rep);
  uint32_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    std::string_view value = values[i];
    if (value.empty()) {
      records[i] = Wide{0, kOwned};
      continue;
    }
    std::memcpy(bytes + used, value.data(), value.size());
    bytes[used + value.size()] = '\0';
    records[i] = Wide{used, static_cast<uint32_t>(value.size()) | kOwned};
    used += static_cast<uint32_t>(value.size() + 1);
  }
  rep->size = static_cast<uint32_t>(count);
  rep->used = used;
  list.rep_ = rep;
  return list;
}

ValueList& ValueList::operator=(const std::vector<std::string>& values) {
  ValueList copy(values);
  *this = std::move(copy);
  return *this;
}

ValueList ValueList::in_text(std::shared_ptr<const char> text, const std::string_view* pieces, size_t count) {
  ValueList list;
  if (count == 0) return list;
  const char* base = text.get();
  // Narrow records when every value sits close enough to `text` and is
  // short enough; otherwise wide ones, and a value a wide record cannot
  // reach either is copied into the byte area.
  bool narrow = true;
  size_t room = 0;
  for (size_t k = 0; k < count; ++k) {
    std::string_view piece = pieces[k];
    if (piece.empty()) continue;
    bool after = piece.data() >= base;
    size_t offset = after ? static_cast<size_t>(piece.data() - base) : 0;
    if (!after || offset >= kNarrowOffsetLimit || piece.size() > kNarrowLengthMask) narrow = false;
    if (!after || offset > kMaxArea || piece.size() >= kOwned) room += owned_size(piece);
  }
  Rep* rep = allocate(count, narrow, narrow ? 0 : room);
  list.rep_ = rep;
  rep->text = std::move(text);
  if (narrow) {
    uint32_t* records = narrow_records(rep);
    for (size_t k = 0; k < count; ++k) {
      std::string_view piece = pieces[k];
      records[k] = piece.empty() ? 0u
                                 : static_cast<uint32_t>(piece.data() - base) << kNarrowLengthBits |
                                       static_cast<uint32_t>(piece.size());
    }
  } else {
    Wide* records = wide_records(rep);
    for (size_t k = 0; k < count; ++k) {
      std::string_view piece = pieces[k];
      bool after = !piece.empty() && piece.data() >= base;
      size_t offset = after ? static_cast<size_t>(piece.data() - base) : 0;
      if (piece.empty()) {
        records[k] = Wide{0, kOwned};
      } else if (after && offset <= kMaxArea && piece.size() < kOwned) {
        records[k] = Wide{static_cast<uint32_t>(offset), static_cast<uint32_t>(piece.size())};
      } else {
        records[k] = append_owned(rep, piece);
      }
    }
  }
  rep->size = static_cast<uint32_t>(count);
  return list;
}

bool ValueList::fits(size_t i, size_t bytes) const noexcept {
  const Rep* rep = rep_;
  if (rep == nullptr || rep->narrow || i >= rep->cap || bytes >= kOwned) return false;
  if (bytes == 0 || rep->room - rep->used > bytes) return true;
  if (i >= rep->size) return false;
  Wide record = wide_records(rep)[i];
  return (record.length & kOwned) != 0 && (record.length & ~kOwned) >= bytes;
}

ValueList::Rep* ValueList::rebuilt(size_t cap, size_t extra) const {
  const Rep* from = rep_;
  size_t size = from == nullptr ? 0 : from->size;
  size_t live = 0;
  if (from != nullptr && !from->narrow) {
    const Wide* records = wide_records(from);
    for (size_t k = 0; k < size; ++k) {
      if ((records[k].length & kOwned) != 0) live += owned_size(records[k].length & ~kOwned);
    }
  }
  extra = owned_size(extra);
  if (extra > kMaxArea || live + extra > kMaxArea) throw std::bad_alloc();
  // Room to spare, so that a run of writes does not copy the values each time.
  size_t room = std::min(kMaxArea, live + extra + (live + extra) / 2 + 16);
  Rep* rep = allocate(std::max(cap, size), false, room);
  Wide* records = wide_records(rep);
  if (from != nullptr) {
    rep->text = from->text;
    if (from->narrow) {
      const uint32_t* narrow = narrow_records(from);
      for (size_t k = 0; k < size; ++k) {
        uint32_t length = narrow[k] & kNarrowLengthMask;
        records[k] = length == 0 ? Wide{0, kOwned} : Wide{narrow[k] >> kNarrowLengthBits, length};
      }
    } else {
      const Wide* old = wide_records(from);
      const char* old_bytes = area(from);
      for (size_t k = 0; k < size; ++k) {
        Wide record = old[k];
        if ((record.length & kOwned) != 0) {
          record = append_owned(rep, std::string_view(old_bytes + record.offset, record.length & ~kOwned));
        }
        records[k] = record;
      }
    }
  }
  rep->size = static_cast<uint32_t>(size);
  return rep;
}

void ValueList::store(size_t i, std::string_view value) noexcept {
  Rep* rep = rep_;
  Wide* records = wide_records(rep);
  while (rep->size <= i) records[rep->size++] = Wide{0, kOwned};
  Wide& record = records[i];
  char* bytes = area(rep);
  if (value.empty()) {
    record = Wide{0, kOwned};
  } else if ((record.length & kOwned) != 0 && (record.length & ~kOwned) >= value.size()) {
    std::memmove(bytes + record.offset, value.data(), value.size());
    bytes[record.offset + value.size()] = '\0';
    record.length = static_cast<uint32_t>(value.size()) | kOwned;
  } else {
    record = append_owned(rep, value);
  }
}

namespace {

size_t grown_cap(size_t cap, size_t needed) noexcept { return needed <= cap ? cap : std::max(needed, cap + cap / 2); }

}  // namespace

void ValueList::set(size_t i, std::string_view value) {
  if (fits(i, value.size())) {
    store(i, value);
    return;
  }
  Rep* old = rep_;
  rep_ = rebuilt(grown_cap(old == nullptr ? 0 : old->cap, i + 1), value.size());
  // `value` may be a view of the old values: stored before they go.
  store(i, value);
  if (old != nullptr) destroy(old);
}

void ValueList::prepare(size_t i, size_t bytes) {
  if (fits(i, bytes)) return;
  Rep* fresh = rebuilt(grown_cap(rep_ == nullptr ? 0 : rep_->cap, i + 1), bytes);
  release();
  rep_ = fresh;
}

void ValueList::resize(size_t n) {
  size_t size = this->size();
  if (n <= size) {
    if (n == 0) {
      release();
    } else {
      rep_->size = static_cast<uint32_t>(n);
    }
    return;
  }
  prepare(n - 1, 0);
  store(n - 1, std::string_view());
}

ValueList ValueList::owned() const {
  ValueList copy;
  size_t n = size();
  if (n == 0) return copy;
  size_t room = 0;
  for (std::string_view value : *this) room += owned_size(value);
  Rep* rep = allocate(n, false, room);
  copy.rep_ = rep;
  Wide* records = wide_records(rep);
  for (std::string_view value : *this) records[rep->size++] = append_owned(rep, value);
  return copy;
}

bool ValueList::holds(const char* p) const noexcept {
  const Rep* rep = rep_;
  if (rep == nullptr || rep->narrow || p == nullptr) return false;
  const char* begin = area(rep);
  std::less<const char*> less;
  return !less(p, begin) && less(p, begin + rep->room);
}

std::vector<std::string> ValueList::to_strings() const {
  std::vector<std::string> out;
  out.reserve(size());
  for (std::string_view value : *this) out.emplace_back(value);
  return out;
}

bool ValueList::operator==(const ValueList& other) const noexcept {
  if (size() != other.size()) return false;
  for (size_t k = 0; k < size(); ++k) {
    if ((*this)[k] != other[k]) return false;
  }
  return true;
}

bool ValueList::operator==(const std::vector<std::string>& other) const noexcept {
  if (size() != other.size()) return false;
  for (size_t k = 0; k < size(); ++k) {
    if ((*this)[k] != other[k]) return false;
  }
  return true;
}

size_t ValueList::heap_bytes() const noexcept {
  const Rep* rep = rep_;
  if (rep == nullptr) return 0;
  return sizeof(Rep) + rep->cap * (rep->narrow ? sizeof(uint32_t) : sizeof(Wide)) + (rep->narrow ? 0 : rep->room);
}

}  // namespace tamrix
