// The fixed-capacity resource pool and its pooled node base.
#include <cstdlib>
#include <new>

#include "vlk_container.h"

namespace {

constexpr unsigned int kMaxPoolNodes = 65535;

// A stamp from the process-wide generator: 1 to 32768, never 0, so that every
// pooled identifier is at least 0x10001.
// 1..32768 from a pool's generator; the state is never 0.
unsigned int NewStamp(unsigned int& state) {
  if (state == 0) state = static_cast<unsigned int>(std::rand()) * 2654435761u | 1u;
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return ((state >> 8) & 0x7FFFu) + 1u;
}

unsigned int SlotOf(unsigned int id) { return id & 0xFFFFu; }

}  // namespace

// ---------------------------------------------------------------------------
// Cvlk_res_node
// ---------------------------------------------------------------------------

Cvlk_res_node::Cvlk_res_node(Cvlk_resource* owner) : Cvlk_link_node(1, owner), m_owner(owner) {}

Cvlk_res_node::~Cvlk_res_node() = default;

void Cvlk_res_node::Print() { Cvlk_link_node::Print(); }

// ---------------------------------------------------------------------------
// Cvlk_resource
// ---------------------------------------------------------------------------

Cvlk_resource::Cvlk_resource(unsigned int id, unsigned int maxNum, QObject* parent) : Cvlk_obj(id, parent) {
  SetErr(_init(maxNum));
}

Cvlk_resource::Cvlk_resource(unsigned int maxNum, QObject* parent) : Cvlk_obj(1, parent) {
  SetRandId();
  SetErr(_init(maxNum));
}

Cvlk_resource::~Cvlk_resource() {
  // Forward order: each node leaves the front of the Qt children list, which is cheap.
  if (m_table != nullptr) {
    for (unsigned int i = 0; i < m_realNum; ++i) {
      delete m_table[i];
      m_table[i] = nullptr;
    }
  }
  delete[] m_table;
  delete m_idle;
}

EerrNo Cvlk_resource::_init(unsigned int maxNum) {
  m_maxNum = maxNum > kMaxPoolNodes ? kMaxPoolNodes : maxNum;
  m_realNum = 0;
  m_table = new (std::nothrow) Cvlk_res_node*[m_maxNum == 0 ? 1 : m_maxNum]();
  if (m_table == nullptr) return ERR_OUT_OF_MEMORY;
  m_idle = new (std::nothrow) Cvlk_link();
  if (m_idle == nullptr || m_idle->GetErr() != ERR_OK) return ERR_OUT_OF_MEMORY;
  m_idle->SetRandId();
  return ERR_OK;
}

bool Cvlk_resource::_isIdle(const Cvlk_res_node* node) const {
  return m_idle != nullptr && m_idle->IsInLink(node) == VLK_TRUE;
}

void Cvlk_resource::_refresh(Cvlk_res_node* node) {
  const unsigned int id = node->GetId();
  if (GetById(id) != node || _isIdle(node)) return;
  node->SetAllocTime(VlkNodeNow());
  node->SetId(SlotOf(id) | (NewStamp(m_stampState) << 16));
}

Cvlk_res_node* Cvlk_resource::_takeIdleHead() {
  if (m_idle == nullptr) return nullptr;
  auto* node = static_cast<Cvlk_res_node*>(m_idle->RemoveHead());
  if (node != nullptr) _refresh(node);
  return node;
}

EerrNo Cvlk_resource::Add(Cvlk_res_node* node) {
  if (m_table == nullptr || m_idle == nullptr || m_realNum >= m_maxNum) return ERR_OUT_OF_MEMORY;
  const EerrNo err = m_idle->AddToTail(node);
  if (err != ERR_OK) return err;
  m_table[m_realNum] = node;
  ++m_realNum;
  node->SetId(m_realNum | (NewStamp(m_stampState) << 16));
  return ERR_OK;
}

Cvlk_res_node* Cvlk_resource::AllocNode() { return _takeIdleHead(); }

Cvlk_res_node* Cvlk_resource::AllocIndexNode() {
  if (m_idle == nullptr || m_idle->GetNum() == 0) return nullptr;
  for (unsigned int i = 0; i < m_realNum; ++i) {
    Cvlk_res_node* const node = m_table[i];
    if (node == nullptr || !_isIdle(node)) continue;
    m_idle->Remove(node);
    _refresh(node);
    return node;
  }
  return nullptr;
}

EerrNo Cvlk_resource::FreeById(unsigned int id) {
  Cvlk_res_node* const node = GetById(id);
  if (node == nullptr || _isIdle(node)) return ERR_INVALID_OPR;
  return m_idle->AddToTail(node);
}

Cvlk_res_node* Cvlk_resource::GetById(unsigned int id) const {
  const unsigned int slot = SlotOf(id);
  if (id == 0 || slot == 0 || slot > m_realNum) return nullptr;
  Cvlk_res_node* const node = m_table[slot - 1];
  return node != nullptr && node->GetId() == id ? node : nullptr;
}

Cvlk_res_node* Cvlk_resource::GetByIndex(unsigned int index) const {
  return index < m_realNum ? m_table[index] : nullptr;
}

Evlk_res_state Cvlk_resource::GetStateById(unsigned int id) const {
  const Cvlk_res_node* const node = GetById(id);
  if (node == nullptr) return RES_INVALID;
  return _isIdle(node) ? RES_IDLE : RES_BUSY;
}

Evlk_res_state Cvlk_resource::GetStateByIndex(unsigned int index) const {
  const Cvlk_res_node* const node = GetByIndex(index);
  if (node == nullptr) return RES_INVALID;
  return _isIdle(node) ? RES_IDLE : RES_BUSY;
}

unsigned int Cvlk_resource::GetIdleNum() const { return m_idle != nullptr ? m_idle->GetNum() : 0; }

void Cvlk_resource::Check(unsigned int maxSeconds) {
  const unsigned int toVisit = m_realNum - GetIdleNum();
  unsigned int visited = 0;
  for (unsigned int i = 0; i < m_realNum && visited < toVisit; ++i) {
    Cvlk_res_node* const node = m_table[i];
    if (node == nullptr || _isIdle(node)) continue;
    ++visited;
    if (static_cast<std::uint32_t>(node->GetAllocDuration()) > maxSeconds) FreeById(node->GetId());
  }
}

void Cvlk_resource::Print() {
  Cvlk_obj::Print();
  VlkDebug("Resource: MaxNum=%u, RealNum=%u, IdleNum=%u", m_maxNum, m_realNum, GetIdleNum());
}
