// relay_bench.h: the load client. N subscribers and M publishers on loopback
// drive a running relay for a set time; every publication must reach every
// subscriber of its topic exactly once and in order per publisher.
#ifndef RELAY_BENCH_H
#define RELAY_BENCH_H

#include <cstdio>
#include <string>
#include <vector>

// One relay of a cluster, as "--relay host:port[:tlsport]" names it.
struct Srelay_bench_relay {
  std::string host;
  unsigned port = 0;
  unsigned tlsPort = 0;  // 0: this relay gets no TLS subscribers' connections
};

struct Srelay_bench_opts {
  std::string host = "127.0.0.1";
  // The relay's ports; the defaults are the relay's own.
  unsigned port = 7400;      // plain TCP
  unsigned tlsPort = 7401;   // TLS, for the TLS subscribers
  unsigned udpPort = 7402;   // STATS, for the pool table; 0: none
  unsigned subscribers = 8;
  unsigned publishers = 4;
  unsigned topics = 2;       // subscriber s and publisher p use topic s % topics, p % topics
  double seconds = 3.0;      // publishing time
  unsigned window = 8;       // publications a publisher may have unanswered
  unsigned payload = 64;     // bytes of text per publication
  unsigned tlsSubscribers = 0;  // how many of the subscribers connect over TLS
  // Pipelined mode: publishers write this many requests in one write, without
  // a window inside it, and the next write once they are all answered; 0:
  // windowed mode.
  unsigned pipeline = 0;
  // Extra subscribers to every topic that never read; the relay is to drop them
  // as slow consumers while the others keep their rate. Not counted as losses.
  unsigned slowSubscribers = 0;
  // Relays sharing their topics: subscribers and publishers are spread over
  // them so that every topic crosses relays. Empty: the one relay above.
  std::vector<Srelay_bench_relay> relays;
  bool udpGiven = false;     // --udp-port was given (with --relay, STATS is asked only then)
};

// Parses one "--name=value" or "--name value" bench option at argv[i] (moving i
// past a separate value); false with err set when it is not one.
bool RelayBenchOption(int argc, char** argv, int& i, Srelay_bench_opts& opts, std::string& err);
extern const char* const kRelayBenchUsage;

// The summary's figures, for a program that reports them its own way.
struct Srelay_bench_figures {
  double publishedPerSec = 0;  // over the publishing time
  double deliveredPerSec = 0;  // over publishing and draining
  unsigned long long delivered = 0, expected = 0;
  unsigned long long p50Micros = 0, p99Micros = 0;
  unsigned long long crossP50Micros = 0, crossP99Micros = 0;  // deliveries from one relay to another
  unsigned long long crossDelivered = 0;
  unsigned long long lost = 0, faults = 0, refused = 0;  // faults: duplicated or reordered
  unsigned long long unanswered = 0;  // requests that got neither OK nor ERR
  unsigned connectionsLost = 0;
};

// Runs the load and prints the summary to out (and, given figures, fills them).
// Returns 0 when nothing was lost, duplicated or reordered and no request was
// refused; 1 otherwise.
int RelayRunBench(const Srelay_bench_opts& opts, FILE* out, Srelay_bench_figures* figures = nullptr);

// Asks a relay's UDP port for "STATS"; the reply text, or empty after timeoutMs.
std::string RelayQueryStats(const std::string& host, unsigned udpPort, unsigned timeoutMs);

#endif  // RELAY_BENCH_H
