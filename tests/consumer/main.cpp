// Links against the installed vlk2 and touches each subsystem's exports.
#include <cstdio>

#include <vlk2.h>

int main() {
  Cvlk_obj obj;
  obj.SetRandId();
  void* p = VlkMemAlloc(16);
  VlkMemFree(p);
  std::printf("vlk2 consumer: object 0x%X, %s\n", obj.GetId(), VlkErrNoToStr(ERR_OK));
  return obj.GetId() > 0x10000u ? 0 : 1;
}
