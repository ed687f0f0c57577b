// The intrusive list, its node and the node clock.
#include <atomic>
#include <ctime>

#include "vlk_container.h"

namespace {

std::int64_t WallClock() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::atomic<VlkNodeClock> g_nodeClock{&WallClock};

}  // namespace

std::int64_t VlkNodeNow() { return g_nodeClock.load(std::memory_order_acquire)(); }

void VlkSetNodeClock(VlkNodeClock clock) {
  g_nodeClock.store(clock != nullptr ? clock : &WallClock, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Cvlk_link_node
// ---------------------------------------------------------------------------

Cvlk_link_node::Cvlk_link_node(unsigned int id, QObject* parent) : Cvlk_obj(id, parent) { init(); }

Cvlk_link_node::~Cvlk_link_node() = default;

void Cvlk_link_node::init() {
  m_next = nullptr;
  m_prev = nullptr;
  m_linkId = 0;
  m_allocTime = m_activeTime = VlkNodeNow();
}

void Cvlk_link_node::SetAllocTime(std::int64_t t) { m_allocTime = m_activeTime = t; }

void Cvlk_link_node::SetActive() { m_activeTime = VlkNodeNow(); }

std::uint64_t Cvlk_link_node::GetAllocDuration() const {
  return static_cast<std::uint32_t>(VlkNodeNow() - m_activeTime);
}

EerrNo Cvlk_link_node::Insert(unsigned int linkId, Cvlk_link_node* before) {
  if (before == this) return ERR_OK;
  // Lists never bear identifier 0: taking it would leave a linked node that
  // looks free.
  if (linkId == 0) return ERR_INVALID_PARAM;
  if (linkId == m_linkId) return ERR_OK;
  if (m_linkId != 0 || m_prev != nullptr || m_next != nullptr) return ERR_INVALID_OPR;
  if (before != nullptr) {
    m_prev = before->m_prev;
    if (m_prev != nullptr) m_prev->m_next = this;
    m_next = before;
    before->m_prev = this;
  }
  m_linkId = linkId;
  return ERR_OK;
}

EerrNo Cvlk_link_node::Append(unsigned int linkId, Cvlk_link_node* after) {
  if (after == this) return ERR_OK;
  if (linkId == 0) return ERR_INVALID_PARAM;
  if (linkId == m_linkId) return ERR_OK;
  if (m_linkId != 0 || m_prev != nullptr || m_next != nullptr) return ERR_INVALID_OPR;
  if (after != nullptr) {
    m_next = after->m_next;
    if (m_next != nullptr) m_next->m_prev = this;
    m_prev = after;
    after->m_next = this;
  }
  m_linkId = linkId;
  return ERR_OK;
}

EerrNo Cvlk_link_node::Remove(unsigned int linkId) {
  if (linkId != m_linkId) return ERR_INVALID_PARAM;
  if (m_prev != nullptr) m_prev->m_next = m_next;
  if (m_next != nullptr) m_next->m_prev = m_prev;
  m_next = nullptr;
  m_prev = nullptr;
  m_linkId = 0;
  return ERR_OK;
}

int Cvlk_link_node::Compare(Cvlk_link_node* other) {
  if (other == nullptr) return 1;
  const unsigned int mine = GetId();
  const unsigned int theirs = other->GetId();
  if (mine > theirs) return 1;
  if (mine < theirs) return -1;
  return 0;
}

// ---------------------------------------------------------------------------
// Cvlk_link
// ---------------------------------------------------------------------------

Cvlk_link::Cvlk_link() : Cvlk_obj(VlkGetGlobalObjID(), nullptr) { Init(); }

Cvlk_link::Cvlk_link(unsigned int id, QObject* parent) : Cvlk_obj(id, parent) { Init(); }

Cvlk_link::~Cvlk_link() = default;

void Cvlk_link::Init() {
  m_num.store(0, std::memory_order_relaxed);
  m_head = nullptr;
  m_tail = nullptr;
}

Ebool Cvlk_link::IsInLink(const Cvlk_link_node* node) const {
  return node != nullptr && node->GetLinkId() == GetId() ? VLK_TRUE : VLK_FALSE;
}

Cvlk_link_node* Cvlk_link::Search(unsigned int id) const {
  const unsigned int num = GetNum();
  if (id == 0 || num == 0) return nullptr;
  Cvlk_link_node* node = m_head;
  for (unsigned int i = 0; i < num && node != nullptr; ++i, node = node->GetNext()) {
    if (node->GetId() == id) return node;
  }
  return nullptr;
}

EerrNo Cvlk_link::AddToHead(Cvlk_link_node* node) {
  if (node == nullptr) return ERR_INVALID_PARAM;
  if (IsInLink(node) == VLK_TRUE) return ERR_OK;
  const EerrNo err = node->Insert(GetId(), m_head);
  if (err != ERR_OK) return err;
  m_head = node;
  if (_step(1) == 1) m_tail = node;
  return ERR_OK;
}

EerrNo Cvlk_link::AddToTail(Cvlk_link_node* node) {
  if (node == nullptr) return ERR_INVALID_PARAM;
  if (IsInLink(node) == VLK_TRUE) return ERR_OK;
  const EerrNo err = node->Append(GetId(), m_tail);
  if (err != ERR_OK) return err;
  m_tail = node;
  if (_step(1) == 1) m_head = node;
  return ERR_OK;
}

EerrNo Cvlk_link::_insert(Cvlk_link_node* pos, Cvlk_link_node* node) {
  const EerrNo err = node->Insert(GetId(), pos);
  if (err != ERR_OK) return err;
  _step(1);
  if (node->GetPrev() == nullptr) m_head = node;
  return ERR_OK;
}

EerrNo Cvlk_link::_append(Cvlk_link_node* pos, Cvlk_link_node* node) {
  const EerrNo err = node->Append(GetId(), pos);
  if (err != ERR_OK) return err;
  _step(1);
  if (node->GetNext() == nullptr) m_tail = node;
  return ERR_OK;
}

EerrNo Cvlk_link::Insert(Cvlk_link_node* pos, Cvlk_link_node* node) {
  if (pos == nullptr || node == nullptr) return ERR_INVALID_PARAM;
  if (IsInLink(pos) != VLK_TRUE || IsInLink(node) == VLK_TRUE) return ERR_FAIL;
  return _insert(pos, node);
}

EerrNo Cvlk_link::Append(Cvlk_link_node* pos, Cvlk_link_node* node) {
  if (pos == nullptr || node == nullptr) return ERR_INVALID_PARAM;
  if (IsInLink(pos) != VLK_TRUE || IsInLink(node) == VLK_TRUE) return ERR_FAIL;
  return _append(pos, node);
}

EerrNo Cvlk_link::Remove(Cvlk_link_node* node) {
  if (GetNum() == 0 || node == nullptr) return ERR_INVALID_OPR;
  if (IsInLink(node) != VLK_TRUE) return ERR_INVALID_PARAM;
  Cvlk_link_node* const prev = node->GetPrev();
  Cvlk_link_node* const next = node->GetNext();
  node->Remove(GetId());
  if (m_head == node) m_head = next;
  if (m_tail == node) m_tail = prev;
  if (_step(-1) == 0) m_head = m_tail = nullptr;
  return ERR_OK;
}

Cvlk_link_node* Cvlk_link::RemoveHead() {
  if (GetNum() == 0 || m_head == nullptr || IsInLink(m_head) != VLK_TRUE) return nullptr;
  Cvlk_link_node* const node = m_head;
  m_head = node->GetNext();
  node->Remove(GetId());
  if (_step(-1) == 0) m_head = m_tail = nullptr;
  return node;
}

Cvlk_link_node* Cvlk_link::RemoveTail() {
  if (GetNum() == 0 || m_tail == nullptr || IsInLink(m_tail) != VLK_TRUE) return nullptr;
  Cvlk_link_node* const node = m_tail;
  m_tail = node->GetPrev();
  node->Remove(GetId());
  if (_step(-1) == 0) m_head = m_tail = nullptr;
  return node;
}

// ---------------------------------------------------------------------------
// Cvlk_linkExt
// ---------------------------------------------------------------------------

Cvlk_linkExt::Cvlk_linkExt() = default;

Cvlk_linkExt::~Cvlk_linkExt() = default;

EerrNo Cvlk_linkExt::Insert(Cvlk_link_node* pos, Cvlk_link_node* node) {
  if (pos == nullptr || node == nullptr) return ERR_INVALID_PARAM;
  if (IsInLink(pos) != VLK_TRUE || IsInLink(node) == VLK_TRUE) return ERR_INVALID_OPR;
  return _insert(pos, node);
}

EerrNo Cvlk_linkExt::Append(Cvlk_link_node* pos, Cvlk_link_node* node) {
  if (pos == nullptr || node == nullptr) return ERR_INVALID_PARAM;
  if (IsInLink(pos) != VLK_TRUE || IsInLink(node) == VLK_TRUE) return ERR_INVALID_OPR;
  return _append(pos, node);
}
