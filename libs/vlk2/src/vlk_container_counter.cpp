// Statistics counters, the resource counter and the bit sets.
#include <new>

#include "vlk_container.h"

// ---------------------------------------------------------------------------
// Cvlk_counter
// ---------------------------------------------------------------------------

Cvlk_counter::Cvlk_counter(unsigned int count, unsigned int id, QObject* parent)
    : Cvlk_obj(id, parent), m_counters(nullptr), m_count(0) {
  if (count == 0) return;
  m_counters = new (std::nothrow) std::atomic<unsigned int>[count];
  if (m_counters == nullptr) {
    SetErr(ERR_OUT_OF_MEMORY);
    return;
  }
  m_count = count;
  ClearAll();
}

Cvlk_counter::~Cvlk_counter() { delete[] m_counters; }

// Steps are relaxed: the counts are statistics and order nothing else.
void Cvlk_counter::Inc(unsigned int idx) {
  if (idx < m_count) m_counters[idx].fetch_add(1u, std::memory_order_relaxed);
}

void Cvlk_counter::Dec(unsigned int idx) {
  if (idx < m_count) m_counters[idx].fetch_sub(1u, std::memory_order_relaxed);
}

void Cvlk_counter::Clear(unsigned int idx) {
  if (idx < m_count) m_counters[idx].store(0u, std::memory_order_relaxed);
}

void Cvlk_counter::ClearAll() {
  for (unsigned int i = 0; i < m_count; ++i) m_counters[i].store(0u, std::memory_order_relaxed);
}

unsigned int Cvlk_counter::Get(unsigned int idx) const {
  return idx < m_count ? m_counters[idx].load(std::memory_order_relaxed) : 0u;
}

// ---------------------------------------------------------------------------
// Cvlk_resource_counter
// ---------------------------------------------------------------------------

void Cvlk_resource_counter::inc() {
  ++m_currCnt;
  if (m_currCnt > m_maxCnt) m_maxCnt = m_currCnt;
}

void Cvlk_resource_counter::dec() {
  if (m_currCnt != 0) --m_currCnt;
}

// ---------------------------------------------------------------------------
// Cvlk_bit_set
// ---------------------------------------------------------------------------

void Cvlk_bit_set::Init() {
  for (unsigned char& b : m_bits) b = 0;
}

EerrNo Cvlk_bit_set::Set(unsigned int i) {
  if (i >= 64) return ERR_OUT_OF_MEMORY;
  m_bits[_getByte(i)] = static_cast<unsigned char>(m_bits[_getByte(i)] | (1u << _getBit(i)));
  return ERR_OK;
}

EerrNo Cvlk_bit_set::Clear(unsigned int i) {
  if (i >= 64) return ERR_OUT_OF_MEMORY;
  m_bits[_getByte(i)] = static_cast<unsigned char>(m_bits[_getByte(i)] & ~(1u << _getBit(i)));
  return ERR_OK;
}

EerrNo Cvlk_bit_set::Check(unsigned int i) const {
  if (i >= 64) return ERR_OUT_OF_MEMORY;
  return (m_bits[_getByte(i)] >> _getBit(i)) & 1u ? ERR_OK : ERR_FAIL;
}

Ebool Cvlk_bit_set::HasSet() const {
  for (unsigned char b : m_bits) {
    if (b != 0) return VLK_TRUE;
  }
  return VLK_FALSE;
}

unsigned int Cvlk_bit_set::ConvertToU32() const {
  unsigned int w = 0;
  for (unsigned int i = 0; i < 32; ++i) {
    if (Check(i) == ERR_OK) w |= 1u << i;
  }
  return w;
}

void Cvlk_bit_set::ConvertFromU32(unsigned int w) {
  Init();
  for (unsigned int i = 0; i < 32; ++i) {
    if ((w >> i) & 1u) Set(i);
  }
}
