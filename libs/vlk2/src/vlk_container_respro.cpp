// The resource pool that tracks the nodes it handed out.
#include "vlk_container.h"

Cvlk_res_pro::Cvlk_res_pro(unsigned int id, unsigned int maxNum, QObject* parent)
    : Cvlk_obj(id, parent),
      m_busy(new Cvlk_link(VlkGetGlobalObjID(), this)),
      m_pool(new Cvlk_resource(id, maxNum, this)) {
  SetErr(m_pool->GetErr());
}

// The inner pool and the busy list go with their Qt parent.
Cvlk_res_pro::~Cvlk_res_pro() = default;

Cvlk_res_node* Cvlk_res_pro::AllocNode(Ebool track) {
  Cvlk_res_node* const node = m_pool->AllocNode();
  if (node != nullptr && track == VLK_TRUE) m_busy->AddToTail(node);
  return node;
}

EerrNo Cvlk_res_pro::FreeById(unsigned int id) {
  Cvlk_link_node* const node = m_busy->Search(id);
  if (node == nullptr) return ERR_FAIL;
  m_busy->Remove(node);
  return m_pool->FreeById(id);
}

Cvlk_res_node* Cvlk_res_pro::GetBusyHead() const { return static_cast<Cvlk_res_node*>(m_busy->GetHead()); }

Cvlk_res_node* Cvlk_res_pro::GetBusyTail() const { return static_cast<Cvlk_res_node*>(m_busy->GetTail()); }

Cvlk_res_node* Cvlk_res_pro::RemoveBusyHead() { return static_cast<Cvlk_res_node*>(m_busy->RemoveHead()); }

EerrNo Cvlk_res_pro::AddToTail(Cvlk_res_node* node) {
  if (node == nullptr) return ERR_OUT_OF_MEMORY;
  return m_busy->AddToTail(node);
}

EerrNo Cvlk_res_pro::Insert(Cvlk_res_node* pos, Cvlk_res_node* node) {
  if (pos == nullptr || node == nullptr) return ERR_OUT_OF_MEMORY;
  return m_busy->Insert(pos, node);
}

void Cvlk_res_pro::Check(unsigned int maxSeconds) {
  const unsigned int realNum = m_pool->GetRealNum();
  const unsigned int toVisit = realNum - m_pool->GetIdleNum();
  unsigned int visited = 0;
  for (unsigned int i = 0; i < realNum && visited < toVisit; ++i) {
    if (m_pool->GetStateByIndex(i) != RES_BUSY) continue;
    ++visited;
    Cvlk_res_node* const node = m_pool->GetByIndex(i);
    if (static_cast<std::uint32_t>(node->GetAllocDuration()) <= maxSeconds) continue;
    Cvlk_link_node* const tracked = m_busy->Search(node->GetId());
    if (tracked == nullptr) continue;
    m_busy->Remove(tracked);
    m_pool->FreeById(node->GetId());
  }
}

void Cvlk_res_pro::Print() {
  VlkDebug("Cvlk_resa_pro(%p)::Max_num=%u,Real_num=%u,Idle_num=%u,Busy_num=%u\n", static_cast<void*>(this),
           m_pool->GetMaxNum(), m_pool->GetRealNum(), m_pool->GetIdleNum(), m_busy->GetNum());
}
