// Cvlk_hash_tbl driven by an operation stream (add, search, find first/next,
// walk, remove by key and by identifier, stale identifiers), cross-checked
// after every step against a model: a map from key to its entries, oldest
// first. Any disagreement aborts. The table's shape (capacity, key length,
// data length, duplicates, and a replaced hash that collides or overflows the
// bucket count) comes from the input too.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "vlk_container.h"

namespace {

// A table whose hash the input may replace: 0 keeps the library's, 1 sends
// every key to one bucket, 2 answers values far beyond the bucket count.
class FuzzTable : public Cvlk_hash_tbl {
 public:
  FuzzTable(unsigned maxNum, unsigned maxKeyLen, unsigned dataLen, Ebool same, int hash)
      : Cvlk_hash_tbl(7, maxNum, maxKeyLen, dataLen, same), m_hash(hash) {}

 protected:
  using Cvlk_hash_tbl::_convert;
  unsigned int _convert(unsigned int keyLen, const unsigned char* key) override {
    if (m_hash == 1) return 0;
    if (m_hash == 2) return 0xFFFFFFF0u - (keyLen > 0 ? key[0] : 0u);
    return Cvlk_hash_tbl::_convert(keyLen, key);
  }

 private:
  int m_hash;
};

struct Entry {
  unsigned id;
  std::string data;
};

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const unsigned maxNum = in.ConsumeIntegralInRange(0u, 40u);
  const unsigned maxKeyLen = in.ConsumeIntegralInRange(0u, 12u);
  const unsigned dataLen = in.ConsumeIntegralInRange(0u, 12u);
  const Ebool same = in.ConsumeBool() ? VLK_TRUE : VLK_FALSE;
  const int hash = in.ConsumeIntegralInRange(0, 2);
  FuzzTable tbl(maxNum, maxKeyLen, dataLen, same, hash);
  FUZZ_CHECK(tbl.GetErr() == ERR_OK);
  FUZZ_CHECK(tbl.GetBucketNum() == maxNum / 2 + 1);

  std::map<std::string, std::deque<Entry>> model;
  std::vector<unsigned> gone;  // identifiers of removed entries
  std::size_t count = 0;

  auto findId = [&](unsigned id, std::string* key) -> Entry* {
    for (auto& kv : model)
      for (auto& e : kv.second)
        if (e.id == id) {
          if (key) *key = kv.first;
          return &e;
        }
    return nullptr;
  };
  // The input's bytes are taken the same way whatever the table holds.
  auto anyId = [&]() -> unsigned {
    const int pick = in.ConsumeIntegralInRange(0, 3);
    const unsigned raw = in.ConsumeIntegral<unsigned>();
    if (pick == 0 && !gone.empty()) return gone[raw % gone.size()];
    if (pick == 1) return raw;
    if (count == 0) return 0;
    std::size_t k = raw % count;
    for (auto& kv : model)
      for (auto& e : kv.second)
        if (k-- == 0) return e.id;
    return 0;
  };
  auto forget = [&](const std::string& key, unsigned id) {
    auto& q = model[key];
    q.erase(std::find_if(q.begin(), q.end(), [id](const Entry& e) { return e.id == id; }));
    if (q.empty()) model.erase(key);
    gone.push_back(id);
    --count;
  };

  for (int ops = 0; ops < 300 && in.remaining_bytes() > 0; ++ops) {
    // Keys come from a small alphabet so that they meet again.
    std::string key = in.ConsumeRandomLengthString(maxKeyLen + 2);
    if (in.ConsumeBool()) {
      for (char& c : key) c = static_cast<char>('a' + (static_cast<unsigned char>(c) & 3));
    }
    const bool usable = key.size() <= maxKeyLen;
    const bool nullBit = in.ConsumeBool();
    const bool nullKey = key.empty() && nullBit;
    const unsigned char* k = nullKey ? nullptr : Bytes(key);
    const unsigned klen = static_cast<unsigned>(key.size());
    auto it = model.find(key);
    const Entry* oldest = it != model.end() ? &it->second.front() : nullptr;

    switch (in.ConsumeIntegralInRange(0, 6)) {
      case 0: {  // Add
        std::string value = in.ConsumeBytesAsString(dataLen);
        value.resize(dataLen, '\x5a');
        unsigned id = 0xDEAD;
        const EerrNo r = tbl.Add(klen, k, Bytes(value), &id);
        if (!usable) {
          FUZZ_CHECK(r == ERR_INVALID_PARAM);
        } else if (same != VLK_TRUE && oldest != nullptr) {
          FUZZ_CHECK(r == ERR_INVALID_OPR);
        } else if (count >= maxNum) {
          FUZZ_CHECK(r == ERR_OUT_OF_MEMORY);
        } else {
          FUZZ_CHECK(r == ERR_OK);
          FUZZ_CHECK(findId(id, nullptr) == nullptr && id != 0);
          FUZZ_CHECK(tbl.GetStateById(id) == RES_BUSY);
          model[key].push_back({id, value});
          ++count;
        }
        if (r != ERR_OK) FUZZ_CHECK(id == 0xDEAD);
        break;
      }
      case 1: {  // Search and FindFirst
        unsigned char* got = nullptr;
        unsigned id = 0;
        const bool search = in.ConsumeBool();
        const bool poke = in.ConsumeBool();
        const EerrNo r = search ? tbl.Search(klen, k, &got) : tbl.FindFirst(klen, k, &got, &id);
        if (!usable) {
          FUZZ_CHECK(r == ERR_INVALID_PARAM);
        } else if (oldest == nullptr) {
          FUZZ_CHECK(r == ERR_OBJ_NOT_FOUND);
        } else {
          FUZZ_CHECK(r == ERR_OK && got != nullptr);
          FUZZ_CHECK(dataLen == 0 || std::memcmp(got, oldest->data.data(), dataLen) == 0);
          FUZZ_CHECK(id == 0 || id == oldest->id);
          if (dataLen > 0 && poke) {  // the pointer leads into the table
            got[0] = static_cast<unsigned char>(got[0] + 1);
            it->second.front().data[0] = static_cast<char>(got[0]);
          }
        }
        break;
      }
      case 2: {  // FindNext from any identifier
        const unsigned from = anyId();
        unsigned char* got = nullptr;
        unsigned next = 0;
        const EerrNo r = tbl.FindNext(from, &got, &next);
        std::string fk;
        const Entry* e = findId(from, &fk);
        const Entry* want = nullptr;
        if (same == VLK_TRUE && e != nullptr) {
          auto& q = model[fk];
          for (std::size_t j = 0; j + 1 < q.size(); ++j)
            if (q[j].id == from) want = &q[j + 1];
        }
        FUZZ_CHECK(r == (want ? ERR_OK : ERR_OBJ_NOT_FOUND));
        if (want) FUZZ_CHECK(next == want->id && (dataLen == 0 || std::memcmp(got, want->data.data(), dataLen) == 0));
        break;
      }
      case 3: {  // walk everything: each entry exactly once
        std::set<unsigned> seen;
        unsigned char* got = nullptr;
        unsigned id = 0;
        EerrNo r = tbl.GetFirst(&got, &id);
        while (r == ERR_OK) {
          const Entry* e = findId(id, nullptr);
          FUZZ_CHECK(e != nullptr && seen.insert(id).second);
          FUZZ_CHECK(dataLen == 0 || std::memcmp(got, e->data.data(), dataLen) == 0);
          FUZZ_CHECK(seen.size() <= count);
          r = tbl.GetNext(id, &got, &id);
        }
        FUZZ_CHECK(r == ERR_OBJ_NOT_FOUND && seen.size() == count);
        break;
      }
      case 4: {  // Remove by key: the oldest goes
        const EerrNo r = tbl.Remove(klen, k);
        if (!usable) {
          FUZZ_CHECK(r == ERR_INVALID_PARAM);
        } else if (oldest == nullptr) {
          FUZZ_CHECK(r == ERR_OBJ_NOT_FOUND);
        } else {
          FUZZ_CHECK(r == ERR_OK);
          forget(key, oldest->id);
        }
        break;
      }
      case 5: {  // RemoveNode by any identifier
        const unsigned id = anyId();
        std::string fk;
        const Entry* e = findId(id, &fk);
        const EerrNo r = tbl.RemoveNode(id);
        if (e != nullptr) {
          FUZZ_CHECK(r == ERR_OK);
          forget(fk, id);
        } else {
          FUZZ_CHECK(r != ERR_OK);
        }
        break;
      }
      case 6: {  // GetNext from a stale or foreign identifier
        const unsigned id = anyId();
        unsigned char* got = nullptr;
        unsigned next = 0;
        const EerrNo r = tbl.GetNext(id, &got, &next);
        if (findId(id, nullptr) == nullptr) FUZZ_CHECK(r == ERR_OBJ_NOT_FOUND);
        if (r == ERR_OK) FUZZ_CHECK(findId(next, nullptr) != nullptr && next != id);
        break;
      }
    }
    FUZZ_CHECK(tbl.GetBusyNum() == count);
    FUZZ_CHECK(tbl.GetIdleNum() + count == tbl.GetRealNum());
  }
  return 0;
}
