// POCO in the messaging comparison: Poco::NotificationQueue between plain
// threads, one heap-allocated notification per message (the queue is unbounded).
#include <Poco/AutoPtr.h>
#include <Poco/Notification.h>
#include <Poco/NotificationQueue.h>

#include <memory>
#include <thread>
#include <vector>

#include "compare_msg.h"

namespace msgbench {
namespace {

template <class B = Body>
class BodyNote : public Poco::Notification {
 public:
  explicit BodyNote(const B& b) : body(b) {}
  B body;
};

template <class B = Body>
const B& Of(Poco::Notification* n) {
  return static_cast<BodyNote<B>*>(n)->body;
}

vlkbench::Outcome Ping(const vlkbench::RunContext& ctx) {
  Poco::NotificationQueue toA, toB;
  const std::uint64_t rounds = PingRounds(ctx);
  PingRecorder rec(rounds);
  std::thread b([&] {
    for (std::uint64_t i = 0; i < rounds; ++i) {
      Poco::AutoPtr<Poco::Notification> in(toB.waitDequeueNotification());
      toA.enqueueNotification(new BodyNote<>(Of(in)));
    }
  });
  std::thread a([&] {
    Body out;
    rec.Begin();
    toB.enqueueNotification(new BodyNote<>(out));
    for (;;) {
      Poco::AutoPtr<Poco::Notification> in(toA.waitDequeueNotification());
      if (!rec.Reply(Of(in).seq)) break;
      FillBody(out, 0, rec.Next());
      toB.enqueueNotification(new BodyNote<>(out));
    }
  });
  a.join();
  b.join();
  return rec.Result(rec.Done().Wait(0));
}

template <class B = Body>
vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                        std::uint64_t messages = 0) {
  FloodChecks checks(ctx, producers, consumers, messages);
  std::vector<std::unique_ptr<Poco::NotificationQueue>> queues;
  std::vector<std::thread> sinks;
  for (unsigned int c = 0; c < consumers; ++c) queues.push_back(std::make_unique<Poco::NotificationQueue>());
  for (unsigned int c = 0; c < consumers; ++c) {
    sinks.emplace_back([&, c] {
      for (std::uint64_t got = 0; got < checks[c].Total(); ++got) {
        Poco::AutoPtr<Poco::Notification> in(queues[c]->waitDequeueNotification());
        checks[c].Take(Of<B>(in));
      }
    });
  }
  vlkbench::Outcome out = DriveFlood(checks, [&](unsigned int p, unsigned int c, std::uint64_t seq) {
    B b;
    FillBody(b, p, seq);
    queues[c]->enqueueNotification(new BodyNote<B>(b));
  });
  for (std::thread& t : sinks) t.join();
  return out;
}

void Register() {
  RegisterMsgCases("poco", Ping, [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) {
    return Flood(ctx, p, c);
  });
  RegisterSizedFloods("poco", [](const vlkbench::RunContext& ctx, auto tag) {
    return Flood<typename decltype(tag)::type>(ctx, 1, 1, SizedFloodMessages(ctx));
  });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
