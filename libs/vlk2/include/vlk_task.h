// vlk_task.h: the task and messaging framework: message records, the message
// pool, the task manager, tasks, timer pools, factories and state machines.
#ifndef VLK_TASK_H
#define VLK_TASK_H

#include "vlk_base.h"
#include "vlk_container.h"
#include "vlk_sys.h"
#include "vlk_text.h"

#endif  // VLK_TASK_H
