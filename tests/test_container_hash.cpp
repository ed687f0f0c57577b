// The hash table: buckets, duplicate keys, iteration, removal and key validation.
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "container_test_util.h"

namespace {

const unsigned char* K(const char* s) { return reinterpret_cast<const unsigned char*>(s); }
unsigned int L(const char* s) { return static_cast<unsigned int>(std::strlen(s)); }

// Exposes the bucket function; optionally sends every key to one bucket.
class ProbeTable : public Cvlk_hash_tbl {
 public:
  ProbeTable(unsigned int maxNum, Ebool permitSame, unsigned int forced = 0)
      : Cvlk_hash_tbl(3, maxNum, 8, sizeof(int), permitSame), m_forced(forced) {}
  unsigned int Bucket(const char* key) { return _convert(L(key), K(key)); }

 protected:
  unsigned int _convert(unsigned int keyLen, const unsigned char* key) override {
    return m_forced != 0 ? m_forced : Cvlk_hash_tbl::_convert(keyLen, key);
  }

 private:
  unsigned int m_forced;
};

EerrNo AddInt(Cvlk_hash_tbl& t, const char* key, int value, unsigned int* id = nullptr) {
  return t.Add(L(key), K(key), reinterpret_cast<const unsigned char*>(&value), id);
}

int AsInt(const unsigned char* data) {
  int v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

TEST(HashTable, BucketCountsAndCapacityLimits) {
  EXPECT_EQ(ProbeTable(10, VLK_FALSE).GetBucketNum(), 6u);
  ProbeTable one(1, VLK_FALSE);
  EXPECT_EQ(one.GetBucketNum(), 1u);
  EXPECT_EQ(AddInt(one, "x", 1), ERR_OK);
  EXPECT_EQ(AddInt(one, "y", 2), ERR_OUT_OF_MEMORY);
  ProbeTable zero(0, VLK_TRUE);
  EXPECT_EQ(zero.GetErr(), ERR_OK);
  EXPECT_EQ(zero.GetBucketNum(), 1u);
  EXPECT_EQ(AddInt(zero, "a", 1), ERR_OUT_OF_MEMORY);
  unsigned char* data = nullptr;
  EXPECT_EQ(zero.GetFirst(&data, nullptr), ERR_OBJ_NOT_FOUND);
}

// Regression: buckets were sized from the requested capacity, so a huge request
// meant billions of bucket lists.
TEST(HashTable, HugeCapacityIsClampedBeforeSizingBuckets) {
  Cvlk_hash_tbl t(3, 70000, 4, 4, VLK_FALSE);
  EXPECT_EQ(t.GetErr(), ERR_OK);
  EXPECT_EQ(t.GetMaxNum(), 65535u);
  EXPECT_EQ(t.GetBucketNum(), 32768u);
  EXPECT_EQ(t.GetIdleNum(), 65535u);
}

TEST(HashTable, ExhaustionAtCapacityPlusOneAndReuse) {
  ProbeTable t(4, VLK_TRUE);
  unsigned int ids[4];
  for (int i = 0; i < 4; ++i) EXPECT_EQ(AddInt(t, "k", i, &ids[i]), ERR_OK);
  EXPECT_EQ(AddInt(t, "k", 9), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(t.GetIdleNum(), 0u);
  EXPECT_EQ(t.RemoveNode(ids[2]), ERR_OK);
  EXPECT_EQ(AddInt(t, "z", 7), ERR_OK);
}

TEST(HashTable, BucketFunction) {
  ProbeTable t(10, VLK_FALSE);
  EXPECT_EQ(t.Bucket("a"), 97u % 6);
  EXPECT_EQ(t.Bucket("ab"), 12805u % 6);
  EXPECT_EQ(t.Bucket(""), 0u);
}

TEST(HashTable, DuplicatesRefused) {
  ProbeTable t(10, VLK_FALSE);
  EXPECT_EQ(AddInt(t, "key", 1), ERR_OK);
  EXPECT_EQ(AddInt(t, "key", 2), ERR_INVALID_OPR);
  unsigned char* data = nullptr;
  unsigned int id = 0, next = 0;
  EXPECT_EQ(t.FindFirst(L("key"), K("key"), &data, &id), ERR_OK);
  EXPECT_EQ(AsInt(data), 1);
  EXPECT_EQ(t.FindNext(id, &data, &next), ERR_OBJ_NOT_FOUND);
}

TEST(HashTable, DuplicatesFoundOldestFirst) {
  ProbeTable t(10, VLK_TRUE);
  unsigned int first = 0, second = 0, id = 0, next = 0;
  EXPECT_EQ(AddInt(t, "key", 1, &first), ERR_OK);
  EXPECT_EQ(AddInt(t, "other", 5), ERR_OK);
  EXPECT_EQ(AddInt(t, "key", 2, &second), ERR_OK);
  unsigned char* data = nullptr;
  EXPECT_EQ(t.FindFirst(L("key"), K("key"), &data, &id), ERR_OK);
  EXPECT_EQ(id, first);
  EXPECT_EQ(t.FindNext(id, &data, &next), ERR_OK);
  EXPECT_EQ(next, second);
  EXPECT_EQ(AsInt(data), 2);
  EXPECT_EQ(t.FindNext(next, &data, &id), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(t.Remove(L("key"), K("key")), ERR_OK);  // the older one goes
  EXPECT_EQ(t.Search(L("key"), K("key"), &data), ERR_OK);
  EXPECT_EQ(AsInt(data), 2);
  EXPECT_EQ(t.FindNext(first, &data, &next), ERR_OBJ_NOT_FOUND);  // removed entry
}

TEST(HashTable, DuplicatesInOneCrowdedBucketKeepInsertionOrder) {
  ProbeTable t(12, VLK_TRUE, 2);  // every key in bucket 2
  AddInt(t, "b", 0);
  for (int i = 1; i <= 3; ++i) {
    AddInt(t, "a", i);
    AddInt(t, "c", 10 + i);
  }
  unsigned char* data = nullptr;
  unsigned int id = 0;
  std::vector<int> seen;
  for (EerrNo r = t.FindFirst(1, K("a"), &data, &id); r == ERR_OK; r = t.FindNext(id, &data, &id)) {
    seen.push_back(AsInt(data));
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(HashTable, IterationVisitsEveryEntryExactlyOnce) {
  for (unsigned int forced : {0u, 1u}) {
    ProbeTable t(40, VLK_TRUE, forced);
    std::multiset<int> expected;
    for (int i = 0; i < 40; ++i) {
      const std::string key = "k" + std::to_string(i % 25);  // some keys twice
      ASSERT_EQ(AddInt(t, key.c_str(), i), ERR_OK);
      expected.insert(i);
    }
    for (int i = 0; i < 40; i += 3) {  // holes
      const std::string key = "k" + std::to_string(i % 25);
      t.Remove(L(key.c_str()), K(key.c_str()));
    }
    std::multiset<int> seen;
    std::set<unsigned int> ids;
    unsigned char* data = nullptr;
    unsigned int id = 0;
    for (EerrNo r = t.GetFirst(&data, &id); r == ERR_OK; r = t.GetNext(id, &data, &id)) {
      seen.insert(AsInt(data));
      EXPECT_TRUE(ids.insert(id).second) << "visited twice";
      ASSERT_LE(ids.size(), 40u);
    }
    EXPECT_EQ(ids.size(), t.GetBusyNum());
    EXPECT_EQ(seen.size(), t.GetBusyNum());
    EXPECT_EQ(t.GetBusyNum(), 40u - 14u);
  }
}

TEST(HashTable, SearchHandsBackThePointerIntoTheTable) {
  ProbeTable t(4, VLK_FALSE);
  AddInt(t, "x", 1);
  unsigned char* data = nullptr;
  ASSERT_EQ(t.Search(1, K("x"), &data), ERR_OK);
  const int v = 42;
  std::memcpy(data, &v, sizeof v);
  unsigned char* again = nullptr;
  t.Search(1, K("x"), &again);
  EXPECT_EQ(again, data);
  EXPECT_EQ(AsInt(again), 42);
  EXPECT_EQ(t.Search(1, K("y"), &data), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(t.Remove(1, K("y")), ERR_OBJ_NOT_FOUND);
}

TEST(HashTable, RemoveNodeOfARemovedEntryChangesNothing) {
  ProbeTable t(4, VLK_FALSE);
  unsigned int id = 0, other = 0;
  AddInt(t, "x", 1, &id);
  AddInt(t, "y", 2, &other);
  EXPECT_EQ(t.RemoveNode(id), ERR_OK);
  const unsigned int idle = t.GetIdleNum();
  EXPECT_NE(t.RemoveNode(id), ERR_OK);
  EXPECT_EQ(t.RemoveNode(0), ERR_INVALID_PARAM);
  EXPECT_EQ(t.RemoveNode(id ^ 0x10000u), ERR_INVALID_PARAM);
  EXPECT_EQ(t.GetIdleNum(), idle);
  unsigned char* data = nullptr;
  EXPECT_EQ(t.Search(1, K("y"), &data), ERR_OK);
  EXPECT_EQ(t.Search(1, K("x"), &data), ERR_OBJ_NOT_FOUND);
}

TEST(HashTable, UnusableKeysAreRefusedNeverCopied) {
  Cvlk_hash_tbl t(3, 4, 4, 4, VLK_TRUE);
  const unsigned char data[4] = {1, 2, 3, 4};
  const unsigned char longKey[] = "abcde";
  unsigned int id = 0;
  EXPECT_EQ(t.Add(5, longKey, data, &id), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Add(1, nullptr, data, &id), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Add(1, longKey, nullptr, &id), ERR_INVALID_PARAM);
  EXPECT_EQ(t.GetIdleNum(), 4u);
  unsigned char* out = nullptr;
  EXPECT_EQ(t.Search(5, longKey, &out), ERR_INVALID_PARAM);
  EXPECT_EQ(t.FindFirst(2, nullptr, &out, &id), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Remove(9, longKey), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Add(4, longKey, data, &id), ERR_OK);  // exactly the maximum
  EXPECT_EQ(t.Add(0, nullptr, data, nullptr), ERR_OK);  // the empty key
  EXPECT_EQ(t.Search(0, nullptr, &out), ERR_OK);
  EXPECT_EQ(t.Search(4, longKey, &out), ERR_OK);
  EXPECT_EQ(std::memcmp(out, data, 4), 0);
  t.Print();
  static_cast<Cvlk_hash_node*>(t.GetById(id))->Print();
}

TEST(HashTable, LookupsMarkEntriesActive) {
  FakeNodeClock clock;
  ProbeTable t(4, VLK_FALSE);
  unsigned int id = 0;
  AddInt(t, "x", 1, &id);
  t.GetById(id)->SetAllocTime(FakeNodeClock::Now() - 50);
  unsigned char* data = nullptr;
  t.GetFirst(&data, &id);
  EXPECT_EQ(t.GetById(id)->GetAllocDuration(), 50u);  // iteration does not count
  t.Search(1, K("x"), &data);
  EXPECT_EQ(t.GetById(id)->GetAllocDuration(), 0u);
}

}  // namespace
