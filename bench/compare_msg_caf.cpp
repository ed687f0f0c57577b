// CAF 0.17 in the messaging comparison: event-based actors on a scheduler of
// two threads ("caf"), and each actor detached on a thread of its own
// ("caf-detached"). CAF's scheduler workers poll for work before they sleep,
// which the CPU per message column shows. Ping-pong between two actors; flood
// producers are plain threads that anon_send to one actor (CAF mailboxes are
// unbounded).
#include <caf/all.hpp>

#include <chrono>
#include <memory>
#include <vector>

#include "compare_msg.h"

CAF_ALLOW_UNSAFE_MESSAGE_TYPE(msgbench::Body)
CAF_ALLOW_UNSAFE_MESSAGE_TYPE(msgbench::Body1k)
CAF_ALLOW_UNSAFE_MESSAGE_TYPE(msgbench::Body4k)

namespace msgbench {
namespace {

using start_atom = caf::atom_constant<caf::atom("start")>;

caf::actor_system_config& Config() {
  static caf::actor_system_config cfg;
  cfg.set("scheduler.max-threads", 2);
  return cfg;
}

caf::behavior Echo(caf::event_based_actor* self) {
  return {[=](const Body& b) { self->send(caf::actor_cast<caf::actor>(self->current_sender()), b); }};
}

caf::behavior Starter(caf::event_based_actor* self, PingRecorder* rec, caf::actor peer) {
  return {
      [=](start_atom) {
        rec->Begin();
        self->send(peer, Body{});
      },
      [=](const Body& in) {
        if (!rec->Reply(in.seq)) return;
        Body out;
        FillBody(out, 0, rec->Next());
        self->send(peer, out);
      },
  };
}

// Request/response the CAF way: request() with a timeout, answered by the
// handler's return value; CAF drops the timeout when the answer comes.
caf::behavior Responder(caf::event_based_actor*) {
  return {[](const Body& b) { return b; }};
}

void Ask(caf::event_based_actor* self, PingRecorder* rec, const caf::actor& peer, const Body& out) {
  self->request(peer, std::chrono::seconds(kTimeoutSeconds), out).then([=](const Body& in) {
    if (!rec->Reply(in.seq)) return;
    Body next;
    FillBody(next, 0, rec->Next());
    Ask(self, rec, peer, next);
  });
}

caf::behavior Requester(caf::event_based_actor* self, PingRecorder* rec, caf::actor peer) {
  return {[=](start_atom) {
    rec->Begin();
    Ask(self, rec, peer, Body{});
  }};
}

// kRequest: the request/response pair, else the plain ping-pong pair.
template <caf::spawn_options Opts, bool kRequest = false>
vlkbench::Outcome Ping(const vlkbench::RunContext& ctx) {
  caf::actor_system sys{Config()};
  PingRecorder rec(PingRounds(ctx));
  caf::actor b = kRequest ? sys.spawn<Opts>(Responder) : sys.spawn<Opts>(Echo);
  caf::actor a = kRequest ? sys.spawn<Opts>(Requester, &rec, b) : sys.spawn<Opts>(Starter, &rec, b);
  caf::anon_send(a, start_atom::value);
  const bool finished = rec.Done().Wait(60000);
  caf::anon_send_exit(a, caf::exit_reason::user_shutdown);
  caf::anon_send_exit(b, caf::exit_reason::user_shutdown);
  return rec.Result(finished);
}

template <class B>
caf::behavior Sink(caf::event_based_actor*, FloodCheck* check) {
  return {[=](const B& in) { check->Take(in); }};
}

template <caf::spawn_options Opts, class B = Body>
vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                        std::uint64_t messages = 0) {
  caf::actor_system sys{Config()};
  FloodChecks checks(ctx, producers, consumers, messages);
  std::vector<caf::actor> sinks;
  for (unsigned int c = 0; c < consumers; ++c) sinks.push_back(sys.spawn<Opts>(Sink<B>, &checks[c]));
  vlkbench::Outcome out = DriveFlood(checks, [&](unsigned int p, unsigned int c, std::uint64_t seq) {
    B b;
    FillBody(b, p, seq);
    caf::anon_send(sinks[c], b);
  });
  for (caf::actor& sink : sinks) caf::anon_send_exit(sink, caf::exit_reason::user_shutdown);
  return out;
}

// n idle event-based actors, each waiting for a body, on an actor system that
// the last holder of its actors shuts down.
std::shared_ptr<void> IdleActors(unsigned int n) {
  static std::weak_ptr<caf::actor_system> shared;
  std::shared_ptr<caf::actor_system> sys = shared.lock();
  if (!sys) shared = sys = std::make_shared<caf::actor_system>(Config());
  struct Actors {
    std::shared_ptr<caf::actor_system> sys;  // outlives the handles below
    std::vector<caf::actor> all;
    ~Actors() {
      for (caf::actor& a : all) caf::anon_send_exit(a, caf::exit_reason::user_shutdown);
    }
  };
  auto actors = std::make_shared<Actors>();
  actors->sys = sys;
  actors->all.reserve(n);
  for (unsigned int i = 0; i < n; ++i) actors->all.push_back(sys->spawn(Responder));
  return actors;
}

void Register() {
  RegisterIdleCase("caf", IdleActors);
  RegisterMsgCases("caf", Ping<caf::no_spawn_options>,
                   [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) {
                     return Flood<caf::no_spawn_options>(ctx, p, c);
                   });
  RegisterMsgCases("caf-detached", Ping<caf::detached>,
                   [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) {
                     return Flood<caf::detached>(ctx, p, c);
                   });
  RegisterSizedFloods("caf", [](const vlkbench::RunContext& ctx, auto tag) {
    return Flood<caf::no_spawn_options, typename decltype(tag)::type>(ctx, 1, 1, SizedFloodMessages(ctx));
  });
  RegisterSizedFloods("caf-detached", [](const vlkbench::RunContext& ctx, auto tag) {
    return Flood<caf::detached, typename decltype(tag)::type>(ctx, 1, 1, SizedFloodMessages(ctx));
  });
  RegisterRequestCase("caf", Ping<caf::no_spawn_options, true>);
  RegisterRequestCase("caf-detached", Ping<caf::detached, true>);
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
