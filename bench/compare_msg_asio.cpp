// Boost.Asio in the messaging comparison: one io_context per thread, run by
// that thread, and asio::post of a handler that carries the body, as Asio
// applications pass work between threads (handler memory is recycled by
// Asio's per-thread cache; the queue is unbounded). The request/response case
// arms a steady_timer (5 s) with every request and cancels it at the answer.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "compare_msg.h"

namespace msgbench {
namespace {

namespace asio = boost::asio;

// An io_context with a thread of its own, kept running until destroyed.
struct Loop {
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> guard{asio::make_work_guard(io)};
  std::thread thread{[this] { io.run(); }};
  ~Loop() {
    guard.reset();
    io.stop();
    thread.join();
  }
};

vlkbench::Outcome Ping(const vlkbench::RunContext& ctx, bool timer) {
  Loop a, b;
  PingRecorder rec(PingRounds(ctx));
  asio::steady_timer timeout(a.io);
  std::function<void(const Body&)> request;  // runs on a's thread
  std::function<void(const Body&)> answer = [&](const Body& in) {  // runs on a's thread
    if (timer) timeout.cancel();
    if (!rec.Reply(in.seq)) return;
    Body out;
    FillBody(out, 0, rec.Next());
    request(out);
  };
  request = [&](const Body& out) {
    if (timer) {
      timeout.expires_after(std::chrono::seconds(kTimeoutSeconds));
      timeout.async_wait([](const boost::system::error_code&) {});
    }
    asio::post(b.io, [&, out] { asio::post(a.io, [&, out] { answer(out); }); });
  };
  asio::post(a.io, [&] {
    rec.Begin();
    request(Body{});
  });
  const bool finished = rec.Done().Wait(60000);
  return rec.Result(finished);
}

template <class B = Body>
vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                        std::uint64_t messages = 0) {
  FloodChecks checks(ctx, producers, consumers, messages);
  std::vector<std::unique_ptr<Loop>> sinks;
  for (unsigned int c = 0; c < consumers; ++c) sinks.push_back(std::make_unique<Loop>());
  return DriveFlood(checks, [&](unsigned int p, unsigned int c, std::uint64_t seq) {
    B b;
    FillBody(b, p, seq);
    FloodCheck* check = &checks[c];
    asio::post(sinks[c]->io, [check, b] { check->Take(b); });
  });
}

void Register() {
  RegisterMsgCases(
      "asio", [](const vlkbench::RunContext& ctx) { return Ping(ctx, false); },
      [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) { return Flood(ctx, p, c); });
  RegisterSizedFloods("asio", [](const vlkbench::RunContext& ctx, auto tag) {
    return Flood<typename decltype(tag)::type>(ctx, 1, 1, SizedFloodMessages(ctx));
  });
  RegisterRequestCase("asio", [](const vlkbench::RunContext& ctx) { return Ping(ctx, true); });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
