// vlk_net.h: socket addresses and name resolution, the I/O server core, the TCP
// server (plain or TLS), outgoing TCP connections and the UDP server.
#ifndef VLK_NET_H
#define VLK_NET_H

#include "vlk_base.h"
#include "vlk_container.h"
#include "vlk_sys.h"
#include "vlk_text.h"

#endif  // VLK_NET_H
