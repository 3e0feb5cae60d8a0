#pragma once
// The engine's object lists: TObjectList (an array of object pointers with a
// growth rule, indexed by signed 32-bit numbers, owning its objects unless
// told otherwise),
// TSortedObjectList (kept in Compare order, with a duplicates policy and a
// halving Search) and TSortedZip (entries ordered by one of the sort modes).
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zip/header_info.h"
#include "zip/zip_errors.h"

namespace tessel {

// As many objects as a signed 32-bit index reaches (memory permitting).
inline constexpr int32_t kMaxListSize = INT32_MAX;
inline constexpr const char* kMsgListIndex = "List index out of bounds (%d)";
inline constexpr const char* kMsgSortedPut = "Cannot <Put> an Object in a sorted list!";
inline constexpr const char* kMsgIndexOutOfRange = "Index %d is out of range";
inline constexpr const char* kMsgNotInList = "tObject %s not in item list";

// Formats one of the list texts with a number or a name.
std::string FormatListMessage(const char* format, int32_t value);
std::string FormatListMessage(const char* format, const char* value);
// The capacity after one growth step from `capacity`: +16 above 8, +8 above 4,
// else +4 (64-bit, so that a step past kMaxListSize can be seen).
int64_t GrownCapacity(int64_t capacity);

// An array of T pointers. With OwnsObjects set (the default) the list deletes
// its objects when they are removed, replaced or the list is cleared or
// destroyed. Capacity grows by the rule of GrownCapacity and is limited to
// kMaxListSize.
template <class T>
class TObjectList {
public:
  TObjectList() = default;
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;
  virtual ~TObjectList() { Clear(); }

  bool OwnsObjects = true;

  int32_t ItemCount() const { return static_cast<int32_t>(items_.size()); }
  int32_t ItemCapacity() const { return capacity_; }

  // EListError "List index out of bounds (%d)" for an index outside 0..count-1.
  T* Get(int32_t index) const {
    if (index < 0 || index >= ItemCount()) IndexError(index);
    return items_[static_cast<size_t>(index)];
  }
  T* operator[](int32_t index) const { return Get(index); }

  // Replaces the object at index (the old one is freed when owned).
  virtual void Put(int32_t index, T* object) {
    if (index < 0 || index >= ItemCount()) IndexError(index);
    T*& slot = items_[static_cast<size_t>(index)];
    if (slot != object) {
      FreeObject(slot);
      slot = object;
    }
  }

  // Appends (sorted lists: inserts in order); returns the index, or -1 when
  // a sorted list's policy refused the object, which then stays the caller's.
  virtual int32_t Add(T* object) {
    Insert(ItemCount(), object);
    return ItemCount() - 1;
  }
  // The owning form: the list takes the object; a refused object is deleted.
  int32_t Add(std::unique_ptr<T> object) {
    const int32_t index = Add(object.get());
    if (index >= 0) object.release();
    return index;
  }

  // Inserts at index 0..count, moving the tail up by one slot.
  virtual void Insert(int32_t index, T* object) {
    if (index < 0 || index > ItemCount()) IndexError(index);
    if (ItemCount() == capacity_) Grow();
    items_.insert(items_.begin() + index, object);
  }

  // Frees every object (when owned) and empties the list; capacity becomes 0.
  virtual void Clear() {
    std::vector<T*> items;
    items.swap(items_);
    capacity_ = 0;
    for (T* object : items) FreeObject(object);
  }

  // Removes the object at index and frees it when owned.
  void Delete(int32_t index) { FreeObject(Extract(index)); }
  // Removes the object at index and hands it to the caller.
  T* Extract(int32_t index) {
    if (index < 0 || index >= ItemCount()) IndexError(index);
    T* object = items_[static_cast<size_t>(index)];
    items_.erase(items_.begin() + index);
    return object;
  }

  // Linear search by identity; -1 when absent.
  virtual int32_t IndexOf(const T* object) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i] == object) return static_cast<int32_t>(i);
    return -1;
  }

  T* First() const { return items_.empty() ? nullptr : items_.front(); }
  T* Last() const { return items_.empty() ? nullptr : items_.back(); }
  // The object after (forward) or before `object`; nullptr at either end; the
  // first (last) object when `object` is nullptr. EListError "tObject %s not
  // in item list" when `object` is not held.
  T* Neighbour(const T* object, bool forward) const {
    if (object == nullptr) return forward ? First() : Last();
    int32_t index = -1;
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i] == object) {
        index = static_cast<int32_t>(i);
        break;
      }
    if (index < 0) throw EListError(FormatListMessage(kMsgNotInList, object->ClassName()));
    const int32_t next = forward ? index + 1 : index - 1;
    return next >= 0 && next < ItemCount() ? items_[static_cast<size_t>(next)] : nullptr;
  }

  // EListError with the capacity when it is below the count or above
  // kMaxListSize.
  void SetCapacity(int32_t capacity) {
    if (capacity < ItemCount() || capacity > kMaxListSize) IndexError(capacity);
    // The observable capacity follows the list's own growth rule; the
    // storage below it grows geometrically, so adding stays amortised O(1).
    capacity_ = capacity;
  }
  // Raising the count fills new slots with nullptr; lowering it frees the
  // dropped objects when owned. EListError outside 0..kMaxListSize.
  void SetCount(int32_t count) {
    if (count < 0 || count > kMaxListSize) IndexError(count);
    if (count > capacity_) SetCapacity(count);
    while (ItemCount() > count) {
      T* object = items_.back();
      items_.pop_back();
      FreeObject(object);
    }
    items_.resize(static_cast<size_t>(count), nullptr);
  }

  // Empties the list without freeing anything (the objects change owner).
  std::vector<T*> ReleaseAll() {
    std::vector<T*> items;
    items.swap(items_);
    capacity_ = 0;
    return items;
  }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

protected:
  [[noreturn]] virtual void IndexError(int32_t index) const {
    throw EListError(FormatListMessage(kMsgListIndex, index));
  }
  // One growth step; past the limit the error reports the index of the
  // object that did not fit.
  virtual void Grow() {
    const int64_t grown = GrownCapacity(capacity_);
    if (grown > kMaxListSize) IndexError(ItemCount());
    SetCapacity(static_cast<int32_t>(grown));
  }
  virtual void FreeObject(T* object) {
    if (OwnsObjects) delete object;
  }

  std::vector<T*> items_;
  int32_t capacity_ = 0;
};

// What a sorted list does with an object equal to one it holds.
enum TDuplicatePolicy : uint8_t { dupIgnore = 0, dupAccept = 1, dupRefuse = 2 };

// A TObjectList kept in Compare order. Key is the object itself.
template <class T>
class TSortedObjectList : public TObjectList<T> {
public:
  explicit TSortedObjectList(TDuplicatePolicy policy = dupRefuse) : DuplicatePolicy(policy) {}

  TDuplicatePolicy DuplicatePolicy;

  virtual const T* KeyOf(const T* object) const { return object; }
  // Negative, zero or positive as a sorts before, with or after b.
  virtual int Compare(const T* a, const T* b) const = 0;

  // Halving search: true when an equal item is held; index is the position
  // of the match (with dupAccept: of the first equal item, so an insert there
  // goes before it) or where the key belongs.
  bool Search(const T* key, int32_t& index) const {
    return SearchWith([&](const T* item) { return Compare(KeyOf(item), key); }, index);
  }
  // The same search with a comparison of each item against an implicit key
  // (negative when the item sorts before the key).
  template <class ItemVersusKey>
  bool SearchWith(ItemVersusKey&& compare, int32_t& index) const {
    int32_t lo = 0;
    int32_t hi = this->ItemCount() - 1;
    bool found = false;
    while (lo <= hi) {
      const int32_t mid = static_cast<int32_t>((static_cast<int64_t>(lo) + hi) / 2);
      const int c = compare(this->items_[static_cast<size_t>(mid)]);
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
        if (c == 0) {
          found = true;
          if (DuplicatePolicy != dupAccept) lo = mid;
        }
      }
    }
    index = lo;
    return found;
  }

  // Inserts in order; an equal object under dupIgnore or dupRefuse is neither
  // inserted nor freed (-1).
  int32_t Add(T* object) override {
    int32_t index = this->ItemCount();
    // Objects mostly come in order (central headers, sorted folder listings):
    // one that sorts after the last item needs no search.
    if (index > 0 && Compare(KeyOf(this->items_.back()), KeyOf(object)) < 0) {
      this->Insert(index, object);
      return index;
    }
    if (Search(KeyOf(object), index) && DuplicatePolicy != dupAccept) return -1;
    this->Insert(index, object);
    return index;
  }
  using TObjectList<T>::Add;

  // The index found by Search, or -1.
  int32_t IndexOf(const T* object) const override {
    int32_t index = 0;
    return Search(KeyOf(object), index) ? index : -1;
  }

  // Refused: EListError "Cannot <Put> an Object in a sorted list!".
  void Put(int32_t, T*) override { throw EListError(kMsgSortedPut); }
};

// The orders of an archive's directory view.
enum TZipSortMode : uint8_t {
  ByName = 0,
  ByFileName = 1,
  ByDirectoryName = 2,
  ByDate = 3,
  ByCompressedSize = 4,
  ByUnCompressedSize = 5,
  ByRate = 6,
  ByNone = 7,
};

// Name order: a-z folded to A-Z, first differing byte by unsigned value, a
// prefix first; names equal after folding are then ordered by their exact
// bytes, so only identical names compare equal. The two-part form compares
// a1+a2 with b1+b2 without joining them.
int CompareZipNames(std::string_view a, std::string_view b);
int CompareZipNames(std::string_view a1, std::string_view a2, std::string_view b1,
                    std::string_view b2);

// A sorted list of archive entries in one of the TZipSortMode orders.
class TSortedZip : public TSortedObjectList<TZipHeaderInfo> {
public:
  explicit TSortedZip(TDuplicatePolicy policy = dupRefuse, TZipSortMode mode = ByNone,
                      bool owns_objects = true)
      : TSortedObjectList(policy), SortMode(mode) {
    OwnsObjects = owns_objects;
  }

  TZipSortMode SortMode;

  int Compare(const TZipHeaderInfo* a, const TZipHeaderInfo* b) const override;

  // ByName lists: the index of the entry whose Directory + Filename is
  // exactly `full_name`, or -1 (halving search, no allocation).
  int32_t FindName(std::string_view full_name) const;
  // ByNone lists: the index of the entry at (disk, offset), or -1.
  int32_t FindPosition(uint32_t disk, uint64_t offset) const;
  // Empties this list (freeing owned objects) and makes it a view of the
  // entries of `source` (it no longer owns objects) in this list's order: the
  // same result as adding them one by one in source order, built with one
  // stable sort instead of n insertions when duplicates are accepted.
  void BuildFrom(const TSortedZip& source);
};

}  // namespace tessel
