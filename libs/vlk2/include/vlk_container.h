// vlk_container.h: fixed-capacity containers: intrusive lists, stamped-id
// resource pools, the multi-list pool, the hash table, buffers, counters and bit sets.
#ifndef VLK_CONTAINER_H
#define VLK_CONTAINER_H

#include "vlk_base.h"

#endif  // VLK_CONTAINER_H
