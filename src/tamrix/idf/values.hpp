// The values of one object, held compactly: a value still as read is a small
// record (where it stands in the kept source text and how long it is), a
// value written since is held in the object's own byte area. Either way a
// value reads as a std::string_view, valid until the list is next changed.
//
// A list read from a text keeps that text alive (a shared pointer into it),
// so an object removed from its model, or outliving it, keeps its values.
//
// The byte after a non-empty value can always be read and is never part of
// it: in the text, the value's delimiter, a blank, a comment mark or a line
// break; in the byte area, a NUL byte. Numbers are read in place thanks to
// it (type_value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tamrix {

class ValueList {
 public:
  ValueList() noexcept = default;
  ValueList(const ValueList& other);  // may throw std::bad_alloc
  ValueList(ValueList&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  ValueList& operator=(const ValueList& other);
  ValueList& operator=(ValueList&& other) noexcept;
  ~ValueList() { release(); }

  // Owned copies of `values`; may throw std::bad_alloc.
  explicit ValueList(const std::vector<std::string>& values);
  // The `count` values at `values`, each copied into the list's own byte
  // area, in one allocation. May throw std::bad_alloc.
  static ValueList copied(const std::string_view* values, size_t count);
  ValueList& operator=(const std::vector<std::string>& values);

  // The values `pieces` (views into the text `text` points into; an
  // empty piece may have no data), recorded as where they stand relative
  // to `text`, which keeps the text alive. May throw std::bad_alloc.
  static ValueList in_text(std::shared_ptr<const char> text, const std::string_view* pieces, size_t count);

  size_t size() const noexcept { return rep_ == nullptr ? 0 : rep_->size; }
  bool empty() const noexcept { return size() == 0; }
  std::string_view operator[](size_t i) const noexcept;
  std::string_view back() const noexcept { return (*this)[size() - 1]; }

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;
    const_iterator() noexcept = default;
    const_iterator(const ValueList* list, size_t i) noexcept : list_(list), i_(i) {}
    std::string_view operator*() const noexcept { return (*list_)[i_]; }
    std::string_view operator[](difference_type n) const noexcept { return (*list_)[i_ + static_cast<size_t>(n)]; }
    const_iterator& operator++() noexcept { ++i_; return *this; }
    const_iterator operator++(int) noexcept { const_iterator at = *this; ++i_; return at; }
    const_iterator& operator--() noexcept { --i_; return *this; }
    const_iterator operator--(int) noexcept { const_iterator at = *this; --i_; return at; }
    const_iterator& operator+=(difference_type n) noexcept { i_ += static_cast<size_t>(n); return *this; }
    const_iterator& operator-=(difference_type n) noexcept { i_ -= static_cast<size_t>(n); return *this; }
    friend const_iterator operator+(const_iterator it, difference_type n) noexcept { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) noexcept { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) noexcept { return it -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) noexcept {
      return static_cast<difference_type>(a.i_) - static_cast<difference_type>(b.i_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept { return a.i_ == b.i_; }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) noexcept { return a.i_ <=> b.i_; }

   private:
    const ValueList* list_ = nullptr;
    size_t i_ = 0;
  };
  const_iterator begin() const noexcept { return const_iterator(this, 0); }
  const_iterator end() const noexcept { return const_iterator(this, size()); }

  // The values as they are now, read without going back to the list for
  // each one: for loops over many values (valid until the list changes).
  // `Narrow`: for a list still as read (narrow()), which reads faster.
  template <bool Narrow>
  class View {
   public:
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string_view operator[](size_t i) const noexcept {
      if constexpr (Narrow) {
        uint32_t record = static_cast<const uint32_t*>(records_)[i];
        return std::string_view(text_ + (record >> kNarrowLengthBits), record & kNarrowLengthMask);
      } else {
        Wide record = static_cast<const Wide*>(records_)[i];
        const char* base = (record.length & kOwned) != 0 ? area_ : text_;
        return std::string_view(base + record.offset, record.length & ~kOwned);
      }
    }

   private:
    friend class ValueList;
    const char* text_ = nullptr;
    const char* area_ = nullptr;
    const void* records_ = nullptr;
    size_t size_ = 0;
  };
  // Whether the list is still as read (narrow records), for view().
  bool narrow() const noexcept { return rep_ != nullptr && rep_->narrow != 0; }
  // narrow() must be `Narrow`, or the list empty.
  template <bool Narrow>
  View<Narrow> view() const noexcept {
    View<Narrow> view;
    if (rep_ != nullptr) {
      view.text_ = rep_->text.get();
      view.records_ = rep_ + 1;
      view.area_ = rep_->narrow ? nullptr : area(rep_);
      view.size_ = rep_->size;
    }
    return view;
  }

  // Sets value `i` (blanks fill any values added before it). May throw
  // std::bad_alloc, and then nothing changed. `value` may be a view of
  // this list's own values.
  void set(size_t i, std::string_view value);
  void push_back(std::string_view value) { set(size(), value); }
  // Room for set(i, v) with v.size() <= `bytes`: once this returned, that
  // call allocates nothing and cannot fail. May throw std::bad_alloc (the
  // values unchanged); moves the values, so views of them end here.
  void prepare(size_t i, size_t bytes);
  // Blanks added or values dropped at the end; growing may throw
  // std::bad_alloc.
  void resize(size_t n);
  void pop_back() noexcept {
    if (rep_ != nullptr && rep_->size > 0) --rep_->size;
  }
  void clear() noexcept { release(); }

  // A copy holding every value in its own byte area: it keeps no text
  // alive. May throw std::bad_alloc.
  ValueList owned() const;

  // Whether `p` points into the list's own byte area (views of which end
  // when the list is changed).
  bool holds(const char* p) const noexcept;

  std::vector<std::string> to_strings() const;  // may throw std::bad_alloc
  bool operator==(const ValueList& other) const noexcept;
  bool operator==(const std::vector<std::string>& other) const noexcept;

  // Heap bytes held by this list (the kept text not counted).
  size_t heap_bytes() const noexcept;

 private:
  // One allocation: this header, then `cap` records, then `room` bytes of
  // owned values. Narrow records (uint32: offset << 12 | length) serve a
  // list still as read; a list changed once has wide records (offset,
  // length with kOwned set for a value in the byte area).
  struct Rep {
    std::shared_ptr<const char> text;  // source records are relative to it
    uint32_t size;
    uint32_t cap : 31;
    uint32_t narrow : 1;
    uint32_t used;  // bytes of the area written (values replaced since included)
    uint32_t room;  // bytes of the area
  };
  struct Wide {
    uint32_t offset;
    uint32_t length;  // kOwned: the value is in the byte area
  };
  static constexpr uint32_t kOwned = 0x80000000u;
  static constexpr uint32_t kNarrowLengthBits = 12;
  static constexpr uint32_t kNarrowLengthMask = (1u << kNarrowLengthBits) - 1;
  static constexpr uint32_t kNarrowOffsetLimit = 1u << (32 - kNarrowLengthBits);

  static const uint32_t* narrow_records(const Rep* rep) noexcept { return reinterpret_cast<const uint32_t*>(rep + 1); }
  static uint32_t* narrow_records(Rep* rep) noexcept { return reinterpret_cast<uint32_t*>(rep + 1); }
  static const Wide* wide_records(const Rep* rep) noexcept { return reinterpret_cast<const Wide*>(rep + 1); }
  static Wide* wide_records(Rep* rep) noexcept { return reinterpret_cast<Wide*>(rep + 1); }
  static char* area(Rep* rep) noexcept { return reinterpret_cast<char*>(wide_records(rep) + rep->cap); }
  static const char* area(const Rep* rep) noexcept { return reinterpret_cast<const char*>(wide_records(rep) + rep->cap); }

  static Rep* allocate(size_t cap, bool narrow, size_t room);  // header built, size 0
  static void destroy(Rep* rep) noexcept;
  void release() noexcept {
    if (rep_ != nullptr) destroy(rep_);
    rep_ = nullptr;
  }
  // Whether set(i, v) with v.size() <= bytes can be done in place.
  bool fits(size_t i, size_t bytes) const noexcept;
  // A wide copy with at least `cap` records and `extra` free bytes, the
  // replaced bytes left behind.
  Rep* rebuilt(size_t cap, size_t extra) const;
  void store(size_t i, std::string_view value) noexcept;  // after fits(i, value.size())
  // Copies `value` to the end of the area, which has room for it and its NUL.
  static Wide append_owned(Rep* rep, std::string_view value) noexcept;

  Rep* rep_ = nullptr;
};

inline std::string_view ValueList::operator[](size_t i) const noexcept {
  const Rep* rep = rep_;
  if (rep->narrow) {
    uint32_t record = narrow_records(rep)[i];
    return std::string_view(rep->text.get() + (record >> kNarrowLengthBits), record & kNarrowLengthMask);
  }
  Wide record = wide_records(rep)[i];
  if ((record.length & kOwned) != 0) return std::string_view(area(rep) + record.offset, record.length & ~kOwned);
  return std::string_view(rep->text.get() + record.offset, record.length);
}

}  // namespace tamrix
