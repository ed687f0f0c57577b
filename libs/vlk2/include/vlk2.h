/// @file vlk2.h
/// The whole library in one include.
#ifndef VLK2_H
#define VLK2_H

#include "vlk_base.h"
#include "vlk_container.h"
#include "vlk_text.h"
#include "vlk_sys.h"
#include "vlk_task.h"
#include "vlk_net.h"

#endif  // VLK2_H
