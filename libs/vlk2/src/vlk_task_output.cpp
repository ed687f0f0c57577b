// Formatted display and trace lines of factories and state machines.
#include "vlk_task_output.h"

#include <cstdio>

#include "vlk_task.h"

namespace {

constexpr std::size_t kTextMax = 4096;   // 4095 characters and the terminator
constexpr std::size_t kTraceMax = 4400;  // "%s[%08X] %s" around such a text

}  // namespace

void VlkTaskDisplayV(Cvlk_task_mgr* mgr, const char* format, va_list args) {
  if (mgr == nullptr) return;
  char text[kTextMax];
  std::vsnprintf(text, sizeof(text), format, args);
  mgr->Display(text);
}

void VlkTaskTraceV(Cvlk_task_mgr* mgr, const char* name, unsigned int id, const char* format, va_list args) {
  if (mgr == nullptr || mgr->HasTraceOn() != VLK_TRUE) return;
  char text[kTextMax];
  std::vsnprintf(text, sizeof(text), format, args);
  char line[kTraceMax];
  std::snprintf(line, sizeof(line), "%s[%08X] %s", name, id, text);
  mgr->Display(line);
}
