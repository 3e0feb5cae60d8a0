#include "zip/object_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/error_text.h"

namespace tessel {
namespace {

// A list element that reports its destruction.
struct Tracked : TPersistent {
  explicit Tracked(int* counter) : counter(counter) {}
  ~Tracked() override { ++*counter; }
  const char* ClassName() const override { return "TTracked"; }
  int* counter;
};


TEST(ObjectList, GrowthRuleWithoutThe65520Limit) {
  int freed = 0;
  TObjectList<Tracked> list;
  std::vector<int32_t> capacities;
  for (int i = 0; i < 40; ++i) {
    list.Add(new Tracked(&freed));
    if (capacities.empty() || capacities.back() != list.ItemCapacity())
      capacities.push_back(list.ItemCapacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 16, 32, 48}));
  // Past the old limit of 65520 the list goes on growing by the same rule.
  while (list.ItemCount() < 70000) list.Add(new Tracked(&freed));
  EXPECT_EQ(list.ItemCapacity(), 70000);
  list.Add(new Tracked(&freed));
  EXPECT_EQ(list.ItemCapacity(), 70016);
  EXPECT_EQ(GrownCapacity(kMaxListSize), int64_t{kMaxListSize} + 16);
  list.Clear();
  EXPECT_EQ(freed, 70001);
}

TEST(ObjectList, BoundsErrorsReportTheOffendingValue) {
  int freed = 0;
  TObjectList<Tracked> list;
  list.Add(new Tracked(&freed));
  EXPECT_EQ(test::ErrorText<EListError>([&] { list.Get(1); }), "List index out of bounds (1)");
  EXPECT_EQ(test::ErrorText<EListError>([&] { list.Get(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(test::ErrorText<EListError>([&] { list.Insert(3, nullptr); }), "List index out of bounds (3)");
  EXPECT_EQ(test::ErrorText<EListError>([&] { list.SetCapacity(0); }), "List index out of bounds (0)");
  EXPECT_EQ(test::ErrorText<EListError>([&] { list.SetCount(-2); }), "List index out of bounds (-2)");
  list.SetCapacity(kMaxListSize);  // the largest allowed: a signed 32-bit count
  list.SetCapacity(65535);
  list.SetCount(3);
  EXPECT_EQ(list.Get(2), nullptr);
  list.SetCount(0);
  EXPECT_EQ(freed, 1);
}

TEST(ObjectList, OwnershipPutNeighbourAndIndexOf) {
  int freed = 0;
  {
    TObjectList<Tracked> list;
    auto* a = new Tracked(&freed);
    auto* b = new Tracked(&freed);
    list.Add(a);
    list.Add(b);
    EXPECT_EQ(list.IndexOf(b), 1);
    EXPECT_EQ(list.Neighbour(a, true), b);
    EXPECT_EQ(list.Neighbour(b, true), nullptr);
    EXPECT_EQ(list.Neighbour(a, false), nullptr);
    EXPECT_EQ(list.Neighbour(nullptr, true), a);
    EXPECT_EQ(list.Neighbour(nullptr, false), b);
    Tracked stranger(&freed);
    EXPECT_EQ(test::ErrorText<EListError>([&] { list.Neighbour(&stranger, true); }), "tObject TTracked not in item list");
    list.Put(0, new Tracked(&freed));  // frees a
    EXPECT_EQ(freed, 1);
    list.Delete(1);  // frees b
    EXPECT_EQ(freed, 2);
  }
  EXPECT_EQ(freed, 4);  // the replacement and the stranger
  TObjectList<Tracked> view;
  view.OwnsObjects = false;
  Tracked kept(&freed);
  view.Add(&kept);
  view.Clear();
  EXPECT_EQ(freed, 4);
}

TZipHeaderInfo* Entry(const std::string& name, uint64_t offset = 0, uint32_t time = 0x58A16B2F,
                      uint64_t compressed = 0, uint64_t uncompressed = 0) {
  auto* e = new TZipHeaderInfo;
  e->SetFullName(name);
  e->RelativeOffset = offset;
  e->LastModDateTime = time;
  e->CompressedSize = compressed;
  e->UncompressedSize = uncompressed;
  return e;
}

std::vector<std::string> Names(const TSortedZip& list) {
  std::vector<std::string> names;
  for (const TZipHeaderInfo* e : list) names.push_back(e->FullName());
  return names;
}

TEST(SortedZip, NameOrderFoldsAsciiAndBreaksTiesByExactBytes) {
  TSortedZip index(dupRefuse, ByName);
  for (const char* n : {"b.txt", "README", "a/z.txt", "readme", "A/y.txt", "Ёлка", "a_", "a", "ReadMe"})
    EXPECT_GE(index.Add(std::unique_ptr<TZipHeaderInfo>(Entry(n))), 0) << n;
  // "_" (0x5F) sorts after the folded letters; Cyrillic bytes after ASCII.
  EXPECT_EQ(Names(index), (std::vector<std::string>{"a", "A/y.txt", "a/z.txt", "a_", "b.txt",
                                                     "README", "ReadMe", "readme", "Ёлка"}));
  // Only an exact match is a duplicate.
  EXPECT_EQ(index.Add(std::unique_ptr<TZipHeaderInfo>(Entry("README"))), -1);
  EXPECT_EQ(index.ItemCount(), 9);
  EXPECT_EQ(index.FindName("readme"), 7);
  EXPECT_EQ(index.FindName("REadme"), -1);
  EXPECT_EQ(index.FindName("A/y.txt"), 1);
  EXPECT_EQ(test::ErrorText<EListError>([&] { index.Put(0, nullptr); }), "Cannot <Put> an Object in a sorted list!");
  EXPECT_EQ(CompareZipNames("abc", "ABC") > 0, true);
  EXPECT_LT(CompareZipNames("ab", "abc"), 0);
  EXPECT_EQ(CompareZipNames("dir/", "x", "dir/x", ""), 0);
}

TEST(SortedZip, DuplicatePolicies) {
  TSortedZip ignore(dupIgnore, ByFileName);
  TSortedZip accept(dupAccept, ByFileName, false);
  auto* first = Entry("d1/same");
  auto* second = Entry("d2/same");
  EXPECT_EQ(ignore.Add(first), 0);
  EXPECT_EQ(ignore.Add(second), -1);  // neither inserted nor freed
  EXPECT_EQ(ignore.ItemCount(), 1);
  EXPECT_EQ(accept.Add(first), 0);
  EXPECT_EQ(accept.Add(second), 0);  // before the equal one
  EXPECT_EQ(accept.Get(0), second);
  EXPECT_EQ(accept.IndexOf(first), 0);  // the first equal item
  delete second;
}

TEST(SortedZip, EveryModesOrder) {
  // name, offset, DOS time, compressed, uncompressed
  TSortedZip owner(dupRefuse, ByNone);
  owner.Add(Entry("x/b", 300, 0x58A16B2F, 50, 100));   // 50%
  owner.Add(Entry("y/a", 100, 0x58A26B2F, 10, 100));   // 10%, newest
  owner.Add(Entry("a/c", 200, 0x00000000, 90, 100));   // 90%, unconvertible date
  // Same offset: refused (and, added as an owned object, deleted).
  EXPECT_EQ(owner.Add(std::unique_ptr<TZipHeaderInfo>(Entry("b/d", 200, 0x58A16B2F, 1, 1))), -1);
  owner.Add(Entry("z/e", 0x90000000, 0x58A16B2F, 70, 200));  // offset above 2 GiB
  EXPECT_EQ(Names(owner), (std::vector<std::string>{"y/a", "a/c", "x/b", "z/e"}));
  struct Case {
    TZipSortMode mode;
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {ByName, {"a/c", "x/b", "y/a", "z/e"}},
      {ByFileName, {"y/a", "x/b", "a/c", "z/e"}},
      {ByDirectoryName, {"a/c", "x/b", "y/a", "z/e"}},
      {ByDate, {"y/a", "x/b", "z/e", "a/c"}},  // newest first, ties keep order
      {ByCompressedSize, {"a/c", "z/e", "x/b", "y/a"}},
      {ByUnCompressedSize, {"z/e", "y/a", "a/c", "x/b"}},
      {ByRate, {"a/c", "x/b", "z/e", "y/a"}},
  };
  for (const Case& c : cases) {
    TSortedZip view(dupAccept, c.mode, false);
    for (TZipHeaderInfo* e : owner) view.Add(e);
    EXPECT_EQ(Names(view), c.order) << static_cast<int>(c.mode);
    // Compare-never-zero modes: IndexOf finds nothing.
    if (c.mode == ByDate || c.mode == ByCompressedSize || c.mode == ByUnCompressedSize) {
      EXPECT_EQ(view.IndexOf(owner.Get(0)), -1);
    }
  }
  EXPECT_EQ(owner.FindPosition(0, 0x90000000), 3);
  EXPECT_EQ(owner.FindPosition(0, 150), -1);
}

// The view built by one stable sort equals the one built by n insertions,
// ties included, in every mode.
TEST(SortedZip, BuildFromEqualsAddingOneByOne) {
  std::mt19937 random(5);
  TSortedZip owner(dupRefuse, ByNone);
  for (int i = 0; i < 400; ++i) {
    std::string name = std::string(1, "aAbB"[random() % 4]) + "/" + std::string(1, "xyXY"[random() % 4]);
    owner.Add(Entry(name, static_cast<uint64_t>(i) * 10, 0x58A10000u + random() % 3,
                    random() % 5, random() % 5));
  }
  for (int m = ByName; m <= ByNone; ++m) {
    const auto mode = static_cast<TZipSortMode>(m);
    TSortedZip one_by_one(dupAccept, mode, false);
    for (TZipHeaderInfo* e : owner) one_by_one.Add(e);
    TSortedZip built(dupAccept, mode, false);
    built.BuildFrom(owner);
    ASSERT_EQ(std::vector<TZipHeaderInfo*>(built.begin(), built.end()),
              std::vector<TZipHeaderInfo*>(one_by_one.begin(), one_by_one.end()))
        << m;
    EXPECT_EQ(built.ItemCapacity(), one_by_one.ItemCapacity());
  }
}

}  // namespace
}  // namespace tessel
