// The echo servers of the network benchmark: ours (TCP and UDP) and
// single-thread Boost.Asio peers, each running on threads of its own until the
// returned handle is destroyed.
#ifndef BENCH_NET_PEERS_H
#define BENCH_NET_PEERS_H

#include <memory>

namespace benchpeers {

class Running {
 public:
  virtual ~Running() = default;
};

// type is SOCK_STREAM or SOCK_DGRAM; port receives the loopback port. Null when
// the server could not start (or, for Asio, Boost was not found at build time).
std::unique_ptr<Running> startOurEcho(int type, unsigned short& port);
std::unique_ptr<Running> startAsioEcho(int type, unsigned short& port);

}  // namespace benchpeers

#endif  // BENCH_NET_PEERS_H
