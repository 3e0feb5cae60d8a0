#include "zip/object_list.h"

#include <algorithm>

#include "platform/datetime.h"

namespace tessel {

std::string FormatListMessage(const char* format, int32_t value) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<int>(value));
  return text;
}

std::string FormatListMessage(const char* format, const char* value) {
  std::string result;
  const std::string_view f(format);
  const size_t at = f.find("%s");
  if (at == std::string_view::npos) return std::string(f);
  result.append(f.substr(0, at)).append(value).append(f.substr(at + 2));
  return result;
}

int64_t GrownCapacity(int64_t capacity) {
  if (capacity > 8) return capacity + 16;
  if (capacity > 4) return capacity + 8;
  return capacity + 4;
}

namespace {

inline uint8_t Fold(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

DateTime EntryTime(uint32_t dos) {
  DateTime value = 0;
  if (!DosToDateTime(dos, value)) return 0;
  return value;
}

}  // namespace

int CompareZipNames(std::string_view a1, std::string_view a2, std::string_view b1,
                    std::string_view b2) {
  // Walk both texts run by run: within a run each side stays inside one of
  // its two parts, so the inner loop is a plain byte loop.
  const uint8_t* pa = reinterpret_cast<const uint8_t*>(a1.data());
  const uint8_t* ea = pa + a1.size();
  const uint8_t* pb = reinterpret_cast<const uint8_t*>(b1.data());
  const uint8_t* eb = pb + b1.size();
  bool a_second = false, b_second = false;
  int exact = 0;
  for (;;) {
    if (pa == ea && !a_second) {
      pa = reinterpret_cast<const uint8_t*>(a2.data());
      ea = pa + a2.size();
      a_second = true;
      continue;
    }
    if (pb == eb && !b_second) {
      pb = reinterpret_cast<const uint8_t*>(b2.data());
      eb = pb + b2.size();
      b_second = true;
      continue;
    }
    if (pa == ea || pb == eb) break;
    const size_t run = static_cast<size_t>(std::min(ea - pa, eb - pb));
    for (size_t i = 0; i < run; ++i) {
      const uint8_t ca = pa[i];
      const uint8_t cb = pb[i];
      if (ca == cb) continue;
      const uint8_t fa = Fold(ca);
      const uint8_t fb = Fold(cb);
      if (fa != fb) return fa < fb ? -1 : 1;
      // Equal after folding: the first exact difference breaks a tie later.
      if (exact == 0) exact = ca < cb ? -1 : 1;
    }
    pa += run;
    pb += run;
  }
  const size_t na = a1.size() + a2.size();
  const size_t nb = b1.size() + b2.size();
  if (na != nb) return na < nb ? -1 : 1;
  return exact;
}

int CompareZipNames(std::string_view a, std::string_view b) {
  return CompareZipNames(a, std::string_view(), b, std::string_view());
}

int TSortedZip::Compare(const TZipHeaderInfo* a, const TZipHeaderInfo* b) const {
  switch (SortMode) {
    case ByName:
      return CompareZipNames(a->Directory(), a->Filename(), b->Directory(), b->Filename());
    case ByFileName:
      return CompareZipNames(a->Filename(), b->Filename());
    case ByDirectoryName:
      return CompareZipNames(a->Directory(), b->Directory());
    case ByDate:
      return EntryTime(b->LastModDateTime) > EntryTime(a->LastModDateTime) ? 1 : -1;
    case ByCompressedSize:
      return b->CompressedSize > a->CompressedSize ? 1 : -1;
    case ByUnCompressedSize:
      return b->UncompressedSize > a->UncompressedSize ? 1 : -1;
    case ByRate:
      return PercentOf(static_cast<int64_t>(b->CompressedSize), static_cast<int64_t>(b->UncompressedSize)) -
             PercentOf(static_cast<int64_t>(a->CompressedSize), static_cast<int64_t>(a->UncompressedSize));
    case ByNone:
    default:
      if (a->DiskNumberStart != b->DiskNumberStart)
        return a->DiskNumberStart < b->DiskNumberStart ? -1 : 1;
      if (b->RelativeOffset < a->RelativeOffset) return 1;
      return b->RelativeOffset == a->RelativeOffset ? 0 : -1;
  }
}

int32_t TSortedZip::FindName(std::string_view full_name) const {
  int32_t index = 0;
  const bool found = SearchWith(
      [&](const TZipHeaderInfo* item) {
        return CompareZipNames(item->Directory(), item->Filename(), full_name, std::string_view());
      },
      index);
  return found ? index : -1;
}

int32_t TSortedZip::FindPosition(uint32_t disk, uint64_t offset) const {
  int32_t index = 0;
  const bool found = SearchWith(
      [&](const TZipHeaderInfo* item) {
        if (item->DiskNumberStart != disk) return item->DiskNumberStart < disk ? -1 : 1;
        if (item->RelativeOffset == offset) return 0;
        return item->RelativeOffset < offset ? -1 : 1;
      },
      index);
  return found ? index : -1;
}

}  // namespace tessel

namespace tessel {

void TSortedZip::BuildFrom(const TSortedZip& source) {
  Clear();
  OwnsObjects = false;
  if (DuplicatePolicy != dupAccept) {
    for (TZipHeaderInfo* item : source) Add(item);
    return;
  }
  std::vector<TZipHeaderInfo*> items(source.begin(), source.end());
  // Adding one by one puts an object before the first item that does not
  // sort before it. Where Compare can answer 0 (name modes, rate, position)
  // equal items therefore end up in reverse order of adding; where it never
  // does (date and size modes) they keep it. A stable sort over the items in
  // the matching order gives the same list.
  const bool reverse_ties = SortMode <= ByDirectoryName || SortMode >= ByRate;
  if (reverse_ties) std::reverse(items.begin(), items.end());
  std::stable_sort(items.begin(), items.end(),
                   [this](const TZipHeaderInfo* x, const TZipHeaderInfo* y) { return Compare(y, x) > 0; });
  if (items.size() > static_cast<size_t>(kMaxListSize)) IndexError(kMaxListSize);
  int64_t capacity = 0;
  while (capacity < static_cast<int64_t>(items.size())) capacity = GrownCapacity(capacity);
  SetCapacity(static_cast<int32_t>(std::min<int64_t>(capacity, kMaxListSize)));
  items_ = std::move(items);
}

}  // namespace tessel
