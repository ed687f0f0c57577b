// The fixed-capacity hash table and its entry node.
#include <cstring>
#include <new>

#include "vlk_container.h"

namespace {

constexpr unsigned int kMaxPoolNodes = 65535;

bool SameKey(const Cvlk_hash_node* node, unsigned int keyLen, const unsigned char* key) {
  return node->GetKeyLen() == keyLen && (keyLen == 0 || std::memcmp(node->GetKey(), key, keyLen) == 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Cvlk_hash_node
// ---------------------------------------------------------------------------

Cvlk_hash_node::Cvlk_hash_node(Cvlk_resource* owner, unsigned int maxKeyLen, unsigned int dataLen)
    : Cvlk_res_node(owner),
      m_dataLen(dataLen),
      m_data(static_cast<unsigned char*>(VlkMemAlloc(dataLen))),
      m_keyLen(0),
      m_key(static_cast<unsigned char*>(VlkMemAlloc(maxKeyLen))) {
  if (m_data == nullptr || m_key == nullptr) SetErr(ERR_OUT_OF_MEMORY);
}

Cvlk_hash_node::~Cvlk_hash_node() {
  VlkMemFree(m_data);
  VlkMemFree(m_key);
}

void Cvlk_hash_node::Print() {
  Cvlk_res_node::Print();
  VlkDebug("HashNode: keyLen=%u, key=0x%p, data=", m_keyLen, static_cast<void*>(m_key));
  for (unsigned int i = 0; i < m_dataLen; ++i) VlkDebug("%u ", static_cast<unsigned int>(m_data[i]));
  VlkDebug(" ");
}

// ---------------------------------------------------------------------------
// Cvlk_hash_tbl
// ---------------------------------------------------------------------------

Cvlk_hash_tbl::Cvlk_hash_tbl(unsigned int id, unsigned int maxNum, unsigned int maxKeyLen, unsigned int dataLen,
                             Ebool permitSame, QObject* parent)
    : Cvlk_resource(id, maxNum, parent), m_permitSame(permitSame), m_maxKeyLen(maxKeyLen), m_dataLen(dataLen) {
  if (GetErr() == ERR_OK) SetErr(_init(maxNum, dataLen));
}

// The buckets go first; the pool then deletes every node, which frees its buffers.
Cvlk_hash_tbl::~Cvlk_hash_tbl() { delete[] m_buckets; }

EerrNo Cvlk_hash_tbl::_init(unsigned int maxNum, unsigned int dataLen) {
  // Buckets follow the capacity the pool really has: a huge requested capacity
  // must not turn into billions of bucket lists.
  const unsigned int capacity = maxNum > kMaxPoolNodes ? kMaxPoolNodes : maxNum;
  m_buckets = new (std::nothrow) Cvlk_link[capacity / 2 + 1];
  if (m_buckets == nullptr) return ERR_OUT_OF_MEMORY;
  m_bucketNum = capacity / 2 + 1;
  for (unsigned int i = 0; i < m_bucketNum; ++i) {
    if (m_buckets[i].GetErr() != ERR_OK) return m_buckets[i].GetErr();
    m_buckets[i].SetRandId();
  }
  for (unsigned int i = 0; i < GetMaxNum(); ++i) {
    auto* const node = new (std::nothrow) Cvlk_hash_node(this, m_maxKeyLen, dataLen);
    if (node == nullptr) return ERR_OUT_OF_MEMORY;
    const EerrNo nodeErr = node->GetErr();
    const EerrNo err = nodeErr != ERR_OK ? nodeErr : Cvlk_resource::Add(node);
    if (err != ERR_OK) {
      delete node;
      return err;
    }
  }
  return ERR_OK;
}

unsigned int Cvlk_hash_tbl::_convert(unsigned int keyLen, const unsigned char* key) {
  // The keys are the caller's const bytes; the hash only reads them.
  return _convert(keyLen, const_cast<unsigned char*>(key));
}

unsigned int Cvlk_hash_tbl::_convert(unsigned int keyLen, unsigned char* key) {
  unsigned int h = 0;
  for (unsigned int i = 0; i < keyLen; ++i) h = h * 131u + key[i];
  return (h & 0x7FFFFFFFu) % m_bucketNum;
}

bool Cvlk_hash_tbl::_keyUsable(unsigned int keyLen, const unsigned char* key) const {
  return keyLen <= m_maxKeyLen && (key != nullptr || keyLen == 0) && m_bucketNum != 0;
}

unsigned int Cvlk_hash_tbl::_bucketOf(unsigned int keyLen, const unsigned char* key) {
  return _convert(keyLen, key) % m_bucketNum;
}

Cvlk_hash_node* Cvlk_hash_tbl::_lookup(unsigned int keyLen, const unsigned char* key) {
  const Cvlk_link& bucket = m_buckets[_bucketOf(keyLen, key)];
  auto* node = static_cast<Cvlk_hash_node*>(bucket.GetHead());
  for (unsigned int i = 0; i < bucket.GetNum() && node != nullptr; ++i) {
    if (SameKey(node, keyLen, key)) {
      node->SetActive();
      return node;
    }
    node = static_cast<Cvlk_hash_node*>(node->GetNext());
  }
  return nullptr;
}

Cvlk_hash_node* Cvlk_hash_tbl::_busyNode(unsigned int nodeId) const {
  auto* const node = static_cast<Cvlk_hash_node*>(GetById(nodeId));
  return node != nullptr && !_isIdle(node) ? node : nullptr;
}

EerrNo Cvlk_hash_tbl::Add(unsigned int keyLen, const unsigned char* key, const unsigned char* data,
                          unsigned int* nodeId) {
  if (!_keyUsable(keyLen, key) || (data == nullptr && m_dataLen != 0)) return ERR_INVALID_PARAM;
  if (m_permitSame != VLK_TRUE && _lookup(keyLen, key) != nullptr) return ERR_INVALID_OPR;
  const unsigned int bucket = _bucketOf(keyLen, key);
  auto* const node = static_cast<Cvlk_hash_node*>(_takeIdleHead());
  if (node == nullptr) return ERR_OUT_OF_MEMORY;
  VlkMemCopy(node->m_data, data, m_dataLen);
  node->m_keyLen = keyLen;
  VlkMemCopy(node->m_key, key, keyLen);
  const EerrNo err = m_buckets[bucket].AddToTail(node);
  if (err != ERR_OK) {
    FreeById(node->GetId());
    return err;
  }
  if (nodeId != nullptr) *nodeId = node->GetId();
  return ERR_OK;
}

EerrNo Cvlk_hash_tbl::Search(unsigned int keyLen, const unsigned char* key, unsigned char** data) {
  return FindFirst(keyLen, key, data, nullptr);
}

EerrNo Cvlk_hash_tbl::FindFirst(unsigned int keyLen, const unsigned char* key, unsigned char** data,
                                unsigned int* nodeId) {
  if (!_keyUsable(keyLen, key)) return ERR_INVALID_PARAM;
  Cvlk_hash_node* const node = _lookup(keyLen, key);
  if (node == nullptr) return ERR_OBJ_NOT_FOUND;
  if (data != nullptr) *data = node->m_data;
  if (nodeId != nullptr) *nodeId = node->GetId();
  return ERR_OK;
}

EerrNo Cvlk_hash_tbl::FindNext(unsigned int nodeId, unsigned char** data, unsigned int* nextId) {
  if (m_permitSame != VLK_TRUE) return ERR_OBJ_NOT_FOUND;
  const Cvlk_hash_node* const from = _busyNode(nodeId);
  if (from == nullptr) return ERR_OBJ_NOT_FOUND;
  for (auto* node = static_cast<Cvlk_hash_node*>(from->GetNext()); node != nullptr;
       node = static_cast<Cvlk_hash_node*>(node->GetNext())) {
    if (!SameKey(node, from->m_keyLen, from->m_key)) continue;
    node->SetActive();
    if (data != nullptr) *data = node->m_data;
    if (nextId != nullptr) *nextId = node->GetId();
    return ERR_OK;
  }
  return ERR_OBJ_NOT_FOUND;
}

EerrNo Cvlk_hash_tbl::GetFirst(unsigned char** data, unsigned int* nodeId) {
  for (unsigned int b = 0; b < m_bucketNum; ++b) {
    auto* const node = static_cast<Cvlk_hash_node*>(m_buckets[b].GetHead());
    if (node == nullptr) continue;
    if (data != nullptr) *data = node->m_data;
    if (nodeId != nullptr) *nodeId = node->GetId();
    return ERR_OK;
  }
  return ERR_OBJ_NOT_FOUND;
}

EerrNo Cvlk_hash_tbl::GetNext(unsigned int nodeId, unsigned char** data, unsigned int* nextId) {
  Cvlk_hash_node* const from = _busyNode(nodeId);
  if (from == nullptr) return ERR_OBJ_NOT_FOUND;
  auto* next = static_cast<Cvlk_hash_node*>(from->GetNext());
  for (unsigned int b = _bucketOf(from->m_keyLen, from->m_key) + 1; next == nullptr && b < m_bucketNum; ++b) {
    next = static_cast<Cvlk_hash_node*>(m_buckets[b].GetHead());
  }
  if (next == nullptr) return ERR_OBJ_NOT_FOUND;
  if (data != nullptr) *data = next->m_data;
  if (nextId != nullptr) *nextId = next->GetId();
  return ERR_OK;
}

EerrNo Cvlk_hash_tbl::Remove(unsigned int keyLen, const unsigned char* key) {
  if (!_keyUsable(keyLen, key)) return ERR_INVALID_PARAM;
  Cvlk_hash_node* const node = _lookup(keyLen, key);
  if (node == nullptr) return ERR_OBJ_NOT_FOUND;
  const EerrNo err = m_buckets[_bucketOf(keyLen, key)].Remove(node);
  if (err != ERR_OK) return err;
  return FreeById(node->GetId());
}

EerrNo Cvlk_hash_tbl::RemoveNode(unsigned int nodeId) {
  auto* const node = static_cast<Cvlk_hash_node*>(GetById(nodeId));
  if (node == nullptr) return ERR_INVALID_PARAM;
  const EerrNo err = m_buckets[_bucketOf(node->m_keyLen, node->m_key)].Remove(node);
  if (err != ERR_OK) return err;
  return FreeById(nodeId);
}

void Cvlk_hash_tbl::Print() {
  Cvlk_resource::Print();
  VlkDebug("HashTbl: PermitSame=%s, MaxKeyLen=%u, MaxList=%u", m_permitSame == VLK_TRUE ? "permit" : "not permit",
           m_maxKeyLen, m_bucketNum);
}
