// The base object, the global identifier counter and error-code names.
#include <atomic>
#include <cstdio>

#include "vlk_base.h"

namespace {

constexpr unsigned int kFirstObjId = 0x00010001u;

// One library-wide counter, stepped by whichever thread creates or renumbers an object.
std::atomic<unsigned int> g_objIdCounter{kFirstObjId};

const char* const kErrNames[] = {
    "ERR_OK",           "ERR_FAIL",          "ERR_NOT_INITIAL",   "ERR_INITIAL_FAIL",
    "ERR_INVALID_PARAM", "ERR_INVALID_OBJ",  "ERR_INVALID_OPR",   "ERR_OUT_OF_MEMORY",
    "ERR_OBJ_NOT_FOUND", "ERR_OBJ_EXISTED",  "ERR_BUSY",          "ERR_CANCEL",
    "ERR_UNCOMPLETE",    "ERR_EXPIRED",      "ERR_OBJ_FOUND",     "ERR_BLOCKED",
    "ERR_INVALID_ADDRESS",
};

}  // namespace

Cvlk_obj::Cvlk_obj(unsigned int id, QObject* parent) : QObject(parent), m_id(id), m_err(ERR_OK) {}

Cvlk_obj::~Cvlk_obj() = default;

void Cvlk_obj::SetRandId() { m_id = VlkGetGlobalObjID(); }

void Cvlk_obj::Print() {}

unsigned int VlkGetGlobalObjID() {
  unsigned int current = g_objIdCounter.load(std::memory_order_relaxed);
  unsigned int next;
  do {
    next = current + 1u;
    if (next == 0u) next = kFirstObjId;  // wrapped: restart above the fixed identifiers
  } while (!g_objIdCounter.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return next;
}

void VlkSetGlobalObjIDCounter(unsigned int value) { g_objIdCounter.store(value, std::memory_order_relaxed); }

const char* VlkErrNoToStr(EerrNo err) {
  if (static_cast<unsigned int>(err) < sizeof(kErrNames) / sizeof(kErrNames[0])) return kErrNames[err];
  thread_local char unknown[32];
  std::snprintf(unknown, sizeof(unknown), "Unknown(%u)", static_cast<unsigned int>(err));
  return unknown;
}
