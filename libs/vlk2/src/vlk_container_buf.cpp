// Fixed heap blocks and the queue of byte strings.
#include <climits>
#include <new>

#include "vlk_container.h"

// ---------------------------------------------------------------------------
// Cvlk_buf
// ---------------------------------------------------------------------------

Cvlk_buf::Cvlk_buf(unsigned int size)
    : m_size(size), m_length(0), m_data(static_cast<unsigned char*>(VlkMemAlloc(size))) {
  if (m_data == nullptr) m_size = 0;
}

Cvlk_buf::~Cvlk_buf() { VlkMemFree(m_data); }

// ---------------------------------------------------------------------------
// Cvlk_buf_node
// ---------------------------------------------------------------------------

Cvlk_buf_node::Cvlk_buf_node() : Cvlk_link_node(VlkGetGlobalObjID(), nullptr) { init(); }

Cvlk_buf_node::~Cvlk_buf_node() { VlkMemFree(m_buf); }

void Cvlk_buf_node::init() {
  m_buf = nullptr;
  m_bufSize = 0;
}

EerrNo Cvlk_buf_node::saveToBuf(const void* data, unsigned int len) {
  // len + 1 must not wrap, and there must be something to copy.
  if (len == UINT_MAX || (data == nullptr && len != 0)) return ERR_INVALID_PARAM;
  auto* const block = static_cast<unsigned char*>(VlkMemAlloc(static_cast<std::size_t>(len) + 1));
  if (block == nullptr) return ERR_OUT_OF_MEMORY;
  VlkMemReset(block, static_cast<std::size_t>(len) + 1);
  VlkMemCopy(block, data, len);
  VlkMemFree(m_buf);  // a second save replaces the first instead of leaking it
  m_buf = block;
  m_bufSize = len + 1;
  return ERR_OK;
}

// ---------------------------------------------------------------------------
// Cvlk_buf_link
// ---------------------------------------------------------------------------

Cvlk_buf_link::Cvlk_buf_link(QObject* parent) : Cvlk_link(VlkGetGlobalObjID(), parent) {}

Cvlk_buf_link::~Cvlk_buf_link() {
  // Nodes still queued are unreachable once the queue is gone: delete them.
  while (Cvlk_link_node* node = RemoveHead()) delete node;
}

EerrNo Cvlk_buf_link::saveToBuf(const void* data, unsigned int len) {
  auto* const node = new (std::nothrow) Cvlk_buf_node();
  if (node == nullptr) return ERR_OUT_OF_MEMORY;
  const EerrNo err = node->saveToBuf(data, len);
  if (err != ERR_OK) {
    delete node;
    return err;
  }
  return AddToTail(node);
}

Cvlk_buf_node* Cvlk_buf_link::getBuf() { return static_cast<Cvlk_buf_node*>(RemoveHead()); }
