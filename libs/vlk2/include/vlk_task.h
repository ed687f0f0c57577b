// vlk_task.h: the task and messaging framework: message records, the message
// pool, the task manager, tasks, timer pools, factories and state machines.
#ifndef VLK_TASK_H
#define VLK_TASK_H

#include "vlk_base.h"
#include "vlk_container.h"
#include "vlk_sys.h"
#include "vlk_text.h"

// ===========================================================================
// Message records and message buffers: owned by the framework core
// ===========================================================================

// (section end: Message records and message buffers)

// ===========================================================================
// Message pool: owned by the framework core
// ===========================================================================

// (section end: Message pool)

// ===========================================================================
// Task manager and task: owned by the framework core
// ===========================================================================

// (section end: Task manager and task)

// ===========================================================================
// Timer pool: owned by the timers and state machines
// ===========================================================================

// (section end: Timer pool)

// ===========================================================================
// Factory: owned by the timers and state machines
// ===========================================================================

// (section end: Factory)

// ===========================================================================
// State machines: owned by the timers and state machines
// ===========================================================================

// (section end: State machines)

#endif  // VLK_TASK_H
