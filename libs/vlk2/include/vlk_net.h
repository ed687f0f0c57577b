// vlk_net.h: socket addresses and name resolution, the I/O server core, the TCP
// server (plain or TLS), outgoing TCP connections and the UDP server.
#ifndef VLK_NET_H
#define VLK_NET_H

#include "vlk_base.h"
#include "vlk_container.h"
#include "vlk_sys.h"
#include "vlk_text.h"

// ===========================================================================
// Socket addresses and name resolution: owned by the server side
// ===========================================================================

// (section end: Socket addresses and name resolution)

// ===========================================================================
// I/O server core: owned by the server side
// ===========================================================================

// (section end: I/O server core)

// ===========================================================================
// TCP server and TLS: owned by the server side
// ===========================================================================

// (section end: TCP server and TLS)

// ===========================================================================
// TCP client connections: owned by the client side
// ===========================================================================

// (section end: TCP client connections)

// ===========================================================================
// UDP server: owned by the client side
// ===========================================================================

// (section end: UDP server)

#endif  // VLK_NET_H
