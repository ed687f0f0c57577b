// The library's heap entry points and its debug-output sink.
#include <cstdlib>
#include <cstring>

#include "vlk_base.h"

extern "C" {

void* VlkMemAlloc(std::size_t size) { return std::calloc(1, size == 0 ? 1 : size); }

void* VlkMemReAlloc(void* block, std::size_t size) { return std::realloc(block, size == 0 ? 1 : size); }

void VlkMemFree(void* block) { std::free(block); }

void VlkMemReset(void* block, std::size_t n) {
  if (block != nullptr && n != 0) std::memset(block, 0, n);
}

void VlkMemCopy(void* dst, const void* src, std::size_t n) {
  if (dst != nullptr && src != nullptr && n != 0) std::memcpy(dst, src, n);
}

// Debug lines are dropped: nothing is formatted, nothing is written.
void VlkDebug(const char* /*format*/, ...) {}

}  // extern "C"
