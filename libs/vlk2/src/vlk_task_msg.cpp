// Message buffers: the pooled nodes that carry a Cmsg header and its body.
#include <climits>

#include "vlk_task.h"

Cvlk_msg_buf::Cvlk_msg_buf(unsigned int size, Cvlk_resource* pool)
    : Cvlk_res_node(pool), m_buf(nullptr), m_bufLen(0) {
  // Four spare bytes behind the class size, as every buffer has always had.
  if (size > UINT_MAX - 4u) {
    SetErr(ERR_INVALID_PARAM);
    return;
  }
  m_buf = static_cast<unsigned char*>(VlkMemAlloc(size + 4u));
  if (m_buf == nullptr) {
    SetErr(ERR_OUT_OF_MEMORY);
    return;
  }
  m_bufLen = size + 4u;
  init();
}

Cvlk_msg_buf::~Cvlk_msg_buf() {
  VlkMemFree(m_buf);
  m_buf = nullptr;
}

void Cvlk_msg_buf::init() {
  if (m_buf != nullptr) VlkMemReset(m_buf, m_bufLen);
}
