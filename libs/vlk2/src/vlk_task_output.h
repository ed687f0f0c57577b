// internal: not installed.
// Formatted display and trace lines shared by factories and state machines: the
// text is cut at 4095 characters, a trace line is "%s[%08X] %s".
#ifndef VLK_TASK_OUTPUT_H
#define VLK_TASK_OUTPUT_H

#include <cstdarg>

class Cvlk_task_mgr;

// Formats and hands the text to mgr->Display. Does nothing for a null manager.
void VlkTaskDisplayV(Cvlk_task_mgr* mgr, const char* format, va_list args);
// Formats the text and hands "%s[%08X] %s" with name and id to mgr->Display, only
// while the manager's trace switch is on.
void VlkTaskTraceV(Cvlk_task_mgr* mgr, const char* name, unsigned int id, const char* format, va_list args);

#endif  // VLK_TASK_OUTPUT_H
