// The resource pool with application lists.
#include <new>

#include "vlk_container.h"

namespace {

constexpr unsigned int kMaxLinks = 2048;

}  // namespace

Cvlk_resourceExt::Cvlk_resourceExt(unsigned int id, unsigned int maxNum, unsigned int linkNum, QObject* parent)
    : Cvlk_resource(id, maxNum, parent) {
  if (GetErr() == ERR_OK) SetErr(_init(linkNum));
}

// The lists go first; the pool then deletes every node.
Cvlk_resourceExt::~Cvlk_resourceExt() { delete[] m_lists; }

EerrNo Cvlk_resourceExt::_init(unsigned int linkNum) {
  if (linkNum > kMaxLinks) return ERR_INVALID_PARAM;
  if (linkNum == 0) return ERR_OK;
  m_lists = new (std::nothrow) Cvlk_linkExt[linkNum];
  if (m_lists == nullptr) return ERR_OUT_OF_MEMORY;
  m_linkNum = linkNum;
  for (unsigned int i = 0; i < linkNum; ++i) {
    if (m_lists[i].GetErr() != ERR_OK) return m_lists[i].GetErr();
  }
  return ERR_OK;
}

Cvlk_linkExt* Cvlk_resourceExt::_listOf(const Cvlk_res_node* node) const {
  const unsigned int linkId = node->GetLinkId();
  if (linkId == 0) return nullptr;
  for (unsigned int i = 0; i < m_linkNum; ++i) {
    if (m_lists[i].GetId() == linkId) return &m_lists[i];
  }
  return nullptr;
}

unsigned int Cvlk_resourceExt::GetNumByLinkIdx(unsigned int listIdx) const {
  return listIdx < m_linkNum ? m_lists[listIdx].GetNum() : 0;
}

unsigned int Cvlk_resourceExt::GetHead(unsigned int listIdx) const {
  if (listIdx >= m_linkNum || m_lists[listIdx].GetHead() == nullptr) return 0;
  return m_lists[listIdx].GetHead()->GetId();
}

unsigned int Cvlk_resourceExt::GetTail(unsigned int listIdx) const {
  if (listIdx >= m_linkNum || m_lists[listIdx].GetTail() == nullptr) return 0;
  return m_lists[listIdx].GetTail()->GetId();
}

Ebool Cvlk_resourceExt::IsInLink(unsigned int listIdx, unsigned int id) const {
  const Cvlk_res_node* const node = GetById(id);
  if (listIdx >= m_linkNum || node == nullptr) return VLK_FALSE;
  return m_lists[listIdx].IsInLink(node);
}

EerrNo Cvlk_resourceExt::AddToHead(unsigned int listIdx, unsigned int id) {
  Cvlk_res_node* const node = GetById(id);
  if (listIdx >= m_linkNum || node == nullptr) return ERR_INVALID_PARAM;
  return m_lists[listIdx].AddToHead(node);
}

EerrNo Cvlk_resourceExt::AddToTail(unsigned int listIdx, unsigned int id) {
  Cvlk_res_node* const node = GetById(id);
  if (listIdx >= m_linkNum || node == nullptr) return ERR_INVALID_PARAM;
  return m_lists[listIdx].AddToTail(node);
}

EerrNo Cvlk_resourceExt::Insert(unsigned int listIdx, unsigned int posId, unsigned int id) {
  if (listIdx >= m_linkNum) return ERR_INVALID_PARAM;
  Cvlk_res_node* const pos = GetById(posId);
  Cvlk_res_node* const node = GetById(id);
  if (pos == nullptr || node == nullptr) return ERR_INVALID_OPR;
  return m_lists[listIdx].Insert(pos, node);
}

EerrNo Cvlk_resourceExt::Append(unsigned int listIdx, unsigned int posId, unsigned int id) {
  if (listIdx >= m_linkNum) return ERR_INVALID_PARAM;
  Cvlk_res_node* const pos = GetById(posId);
  Cvlk_res_node* const node = GetById(id);
  if (pos == nullptr || node == nullptr) return ERR_INVALID_OPR;
  return m_lists[listIdx].Append(pos, node);
}

EerrNo Cvlk_resourceExt::Remove(unsigned int id) {
  Cvlk_res_node* const node = GetById(id);
  if (node == nullptr) return ERR_INVALID_PARAM;
  Cvlk_linkExt* const list = _listOf(node);
  if (list == nullptr) return ERR_INVALID_OPR;
  return list->Remove(node);
}

EerrNo Cvlk_resourceExt::Delete(unsigned int id) {
  const EerrNo err = Remove(id);
  if (err != ERR_OK) return err;
  return FreeById(id);
}

EerrNo Cvlk_resourceExt::DeleteHead(unsigned int listIdx) {
  if (listIdx >= m_linkNum) return ERR_INVALID_PARAM;
  Cvlk_link_node* const node = m_lists[listIdx].RemoveHead();
  if (node == nullptr) return ERR_INVALID_OPR;
  return FreeById(node->GetId());
}

EerrNo Cvlk_resourceExt::DeleteTail(unsigned int listIdx) {
  if (listIdx >= m_linkNum) return ERR_INVALID_PARAM;
  Cvlk_link_node* const node = m_lists[listIdx].RemoveTail();
  if (node == nullptr) return ERR_INVALID_OPR;
  return FreeById(node->GetId());
}

EerrNo Cvlk_resourceExt::_transfer(unsigned int fromIdx, unsigned int id, unsigned int toIdx, unsigned int posId,
                                   Where where) {
  if (fromIdx >= m_linkNum || toIdx >= m_linkNum) return ERR_INVALID_PARAM;
  Cvlk_res_node* const node = GetById(id);
  if (node == nullptr) return ERR_INVALID_OPR;
  Cvlk_linkExt& from = m_lists[fromIdx];
  Cvlk_linkExt& to = m_lists[toIdx];
  if (from.IsInLink(node) != VLK_TRUE) return ERR_INVALID_OPR;
  Cvlk_res_node* pos = nullptr;
  if (where == Where::kBefore || where == Where::kAfter) {
    pos = GetById(posId);
    // Checked before anything moves, so a refused transfer leaves the node where it was.
    if (pos == nullptr || pos == node || to.IsInLink(pos) != VLK_TRUE) return ERR_INVALID_OPR;
  }
  if (from.Remove(node) != ERR_OK) return ERR_INVALID_OPR;
  EerrNo err = ERR_OK;
  switch (where) {
    case Where::kHead: err = to.AddToHead(node); break;
    case Where::kTail: err = to.AddToTail(node); break;
    case Where::kBefore: err = to.Insert(pos, node); break;
    case Where::kAfter: err = to.Append(pos, node); break;
  }
  return err == ERR_OK ? ERR_OK : ERR_INVALID_OPR;
}

EerrNo Cvlk_resourceExt::TransferToHead(unsigned int fromIdx, unsigned int id, unsigned int toIdx) {
  return _transfer(fromIdx, id, toIdx, 0, Where::kHead);
}

EerrNo Cvlk_resourceExt::TransferToTail(unsigned int fromIdx, unsigned int id, unsigned int toIdx) {
  return _transfer(fromIdx, id, toIdx, 0, Where::kTail);
}

EerrNo Cvlk_resourceExt::TransferBefore(unsigned int fromIdx, unsigned int id, unsigned int toIdx,
                                        unsigned int posId) {
  return _transfer(fromIdx, id, toIdx, posId, Where::kBefore);
}

EerrNo Cvlk_resourceExt::TransferAfter(unsigned int fromIdx, unsigned int id, unsigned int toIdx,
                                       unsigned int posId) {
  return _transfer(fromIdx, id, toIdx, posId, Where::kAfter);
}

void Cvlk_resourceExt::Check(unsigned int maxSeconds) {
  const unsigned int realNum = GetRealNum();
  const unsigned int toVisit = realNum - GetIdleNum();
  unsigned int visited = 0;
  for (unsigned int i = 0; i < realNum && visited < toVisit; ++i) {
    if (GetStateByIndex(i) != RES_BUSY) continue;
    ++visited;
    Cvlk_res_node* const node = GetByIndex(i);
    if (static_cast<std::uint32_t>(node->GetAllocDuration()) <= maxSeconds) continue;
    if (Cvlk_linkExt* const list = _listOf(node)) list->Remove(node);
    FreeById(node->GetId());
  }
}
