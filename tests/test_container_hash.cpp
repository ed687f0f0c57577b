// The hash table: buckets, duplicate keys, iteration, removal and key validation.
#include <cstring>
#include <set>
#include <string>

#include "container_test_util.h"

namespace {

const unsigned char* K(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned int L(const std::string& s) { return static_cast<unsigned int>(s.size()); }

// With `forced` set every key lands in that bucket. The hash has the historic
// signature (a non-const key), which the table must call too.
struct ProbeTable : Cvlk_hash_tbl {
  ProbeTable(unsigned int maxNum, Ebool permitSame, unsigned int forced = 0)
      : Cvlk_hash_tbl(3, maxNum, 8, sizeof(int), permitSame), forced(forced) {}
  using Cvlk_hash_tbl::_convert;
  unsigned int _convert(unsigned int keyLen, unsigned char* key) override {
    ++calls;
    return forced != 0 ? forced : Cvlk_hash_tbl::_convert(keyLen, key);
  }
  EerrNo Put(const std::string& key, int value, unsigned int* id = nullptr) {
    return Add(L(key), K(key), reinterpret_cast<const unsigned char*>(&value), id);
  }
  unsigned int forced;
  int calls = 0;
};

int AsInt(const unsigned char* data) {
  int v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

TEST(HashTable, BucketsAndCapacities) {
  for (unsigned int cap : {0u, 1u, 4u}) {
    ProbeTable t(cap, VLK_TRUE);
    EXPECT_EQ(t.GetBucketNum(), cap / 2 + 1);
    for (unsigned int i = 0; i < cap; ++i) EXPECT_EQ(t.Put("k", 1), ERR_OK);
    EXPECT_EQ(t.Put("k", 1), ERR_OUT_OF_MEMORY);
    EXPECT_EQ(t.GetBusyNum(), cap);
  }
  // Regression: buckets were sized from the requested capacity, so a huge request
  // meant billions of bucket lists.
  Cvlk_hash_tbl huge(3, 0xFFFFFFFFu, 1, 1, VLK_FALSE);
  EXPECT_EQ(huge.GetErr(), ERR_OK);
  EXPECT_EQ(huge.GetBucketNum(), 32768u);
}

TEST(HashTable, DuplicateKeysRefusedOrFoundOldestFirst) {
  ProbeTable refuse(10, VLK_FALSE);
  unsigned int id = 0, next = 0;
  unsigned char* data = nullptr;
  EXPECT_EQ(refuse.Put("key", 1, &id), ERR_OK);
  EXPECT_EQ(refuse.Put("key", 2), ERR_INVALID_OPR);
  EXPECT_EQ(refuse.FindNext(id, &data, &next), ERR_OBJ_NOT_FOUND);
  for (unsigned int forced : {0u, 2u}) {  // spread, then every key in one bucket
    ProbeTable t(12, VLK_TRUE, forced);
    unsigned int first = 0;
    t.Put("key", 1, &first);
    t.Put("other", 9);
    t.Put("key", 2);
    t.Put("key", 3);
    std::vector<int> seen;
    for (EerrNo r = t.FindFirst(3, K("key"), &data, &id); r == ERR_OK; r = t.FindNext(id, &data, &id)) {
      seen.push_back(AsInt(data));
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(t.Remove(3, K("key")), ERR_OK);  // removes the oldest
    EXPECT_EQ(t.Search(3, K("key"), &data), ERR_OK);
    EXPECT_EQ(AsInt(data), 2);
    EXPECT_EQ(t.FindNext(first, &data, &next), ERR_OBJ_NOT_FOUND);  // removed entry
    EXPECT_GT(t.calls, 0);
  }
  // The const-key form is called too, before the other.
  struct ConstProbe : Cvlk_hash_tbl {
    ConstProbe() : Cvlk_hash_tbl(3, 4, 8, sizeof(int), VLK_TRUE) {}
    using Cvlk_hash_tbl::_convert;
    unsigned int _convert(unsigned int, const unsigned char*) override {
      ++calls;
      return 1;
    }
    int calls = 0;
  } c;
  int one = 1;
  EXPECT_EQ(c.Add(3, K("key"), reinterpret_cast<const unsigned char*>(&one), nullptr), ERR_OK);
  EXPECT_EQ(c.calls, 1);
}

TEST(HashTable, IterationVisitsEveryEntryExactlyOnce) {
  for (unsigned int forced : {0u, 1u}) {
    ProbeTable t(40, VLK_TRUE, forced);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(t.Put("k" + std::to_string(i % 25), i), ERR_OK);
    for (int i = 0; i < 40; i += 3) t.Remove(L("k" + std::to_string(i % 25)), K("k" + std::to_string(i % 25)));
    std::set<unsigned int> ids;
    std::set<int> values;
    unsigned char* data = nullptr;
    unsigned int id = 0;
    for (EerrNo r = t.GetFirst(&data, &id); r == ERR_OK && ids.size() <= 40; r = t.GetNext(id, &data, &id)) {
      EXPECT_TRUE(ids.insert(id).second) << "visited twice";
      values.insert(AsInt(data));
    }
    EXPECT_EQ(ids.size(), 26u);
    EXPECT_EQ(values.size(), 26u);
    EXPECT_EQ(t.GetBusyNum(), 26u);
  }
}

TEST(HashTable, SearchPointsIntoTheTableMarksActiveAndRemovedIdsChangeNothing) {
  FakeNodeClock clock;
  ProbeTable t(4, VLK_FALSE);
  unsigned int id = 0;
  unsigned char* data = nullptr;
  t.Put("x", 1, &id);
  t.GetById(id)->SetAllocTime(FakeNodeClock::now - 50);
  t.GetFirst(&data, &id);  // the only entry
  EXPECT_EQ(t.GetById(id)->GetAllocDuration(), 50u);  // iteration leaves the time alone
  ASSERT_EQ(t.Search(1, K("x"), &data), ERR_OK);
  EXPECT_EQ(t.GetById(id)->GetAllocDuration(), 0u);  // a lookup marks the entry active
  t.Put("y", 2);
  data[0] = 42;
  unsigned char* again = nullptr;
  t.Search(1, K("x"), &again);
  EXPECT_EQ(again[0], 42);
  EXPECT_EQ(t.Search(1, K("z"), &data), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(t.RemoveNode(id), ERR_OK);
  EXPECT_NE(t.RemoveNode(id), ERR_OK);  // idle now: in no bucket
  EXPECT_EQ(t.RemoveNode(0), ERR_INVALID_PARAM);
  EXPECT_EQ(t.GetNext(id, &data, &id), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(t.GetIdleNum(), 3u);
  EXPECT_EQ(t.Search(1, K("y"), &data), ERR_OK);
}

TEST(HashTable, UnusableKeysAreRefusedNeverCopied) {
  Cvlk_hash_tbl t(3, 4, 4, 4, VLK_TRUE);
  const unsigned char data[4] = {1, 2, 3, 4};
  const unsigned char key[] = "abcde";
  unsigned char* out = nullptr;
  EXPECT_EQ(t.Add(5, key, data, nullptr), ERR_INVALID_PARAM);  // one byte too long
  EXPECT_EQ(t.Add(1, nullptr, data, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Add(1, key, nullptr, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Search(5, key, &out), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Remove(2, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(t.GetIdleNum(), 4u);
  EXPECT_EQ(t.Add(4, key, data, nullptr), ERR_OK);  // exactly the maximum
  EXPECT_EQ(t.Add(0, nullptr, data, nullptr), ERR_OK);  // the empty key
  EXPECT_EQ(t.Search(4, key, &out), ERR_OK);
  EXPECT_EQ(std::memcmp(out, data, 4), 0);
}

}  // namespace
