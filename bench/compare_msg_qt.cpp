// Qt 6 in the messaging comparison, two ways an application moves data between
// threads:
//   qt-event   QCoreApplication::postEvent of a custom QEvent to an object that
//              lives in another QThread
//   qt-signal  a signal carrying the body, queued to a slot of an object in
//              another QThread
// Qt's queues are unbounded: a fast producer shows in the peak RSS.
// Debian's Qt runs its event loops on GLib's main loop unless QT_NO_GLIB is
// set; there every postEvent to a sleeping thread costs an eventfd write and a
// poll. The plain rows run Qt's own dispatcher (QT_NO_GLIB=1), as a tuned
// deployment would; the "-glib" row is what an untuned Debian install gets.
#include <QCoreApplication>
#include <QEvent>
#include <QMetaType>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "compare_msg.h"

Q_DECLARE_METATYPE(msgbench::Body)

namespace msgbench {

// A posted event carrying a body of type B.
template <class B>
class QtSizedEvent : public QEvent {
 public:
  static QEvent::Type Kind() {
    static const QEvent::Type kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kind;
  }
  explicit QtSizedEvent(const B& b) : QEvent(Kind()), body(b) {}
  B body;
};

using QtBodyEvent = QtSizedEvent<Body>;

// Receives both ways: events through event(), signals through onBody().
class QtEndpoint : public QObject {
  Q_OBJECT
 public:
  std::function<void(const Body&)> handler;

  bool event(QEvent* e) override {
    if (e->type() != QtBodyEvent::Kind()) return QObject::event(e);
    handler(static_cast<QtBodyEvent*>(e)->body);
    return true;
  }
  // Sends through the signal: the connection queues it to the receiver's thread.
  void Emit(const Body& b) { Q_EMIT body(b); }

 Q_SIGNALS:
  void body(const msgbench::Body& b);

 public Q_SLOTS:
  void onBody(const msgbench::Body& b) { handler(b); }
};

namespace {

// Chooses the event dispatcher before the first Qt object exists (one case per process).
void UseGlib(bool glib) {
  if (glib) {
    unsetenv("QT_NO_GLIB");
  } else {
    setenv("QT_NO_GLIB", "1", 1);
  }
}

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "compare_msg";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  qRegisterMetaType<msgbench::Body>();
  return app;
}

// An endpoint living in a thread of its own.
struct Hosted {
  QThread thread;
  QtEndpoint endpoint;
  Hosted() {
    endpoint.moveToThread(&thread);
    thread.start();
  }
  ~Hosted() {
    thread.quit();
    thread.wait();
  }
};

// With `timer`, endpoint a arms a single-shot QTimer (5 s) of its thread with
// every request and stops it when the answer comes.
vlkbench::Outcome Ping(const vlkbench::RunContext& ctx, bool viaSignal, bool timer = false) {
  App();
  Hosted a, b;
  QTimer* timeout = nullptr;  // a's child, made on a's thread
  // Senders for each direction: the endpoint itself for events; for signals an
  // emitter owned by the sending side, connected to the other side's slot.
  QtEndpoint toA, toB;
  QObject::connect(&toA, &QtEndpoint::body, &a.endpoint, &QtEndpoint::onBody, Qt::QueuedConnection);
  QObject::connect(&toB, &QtEndpoint::body, &b.endpoint, &QtEndpoint::onBody, Qt::QueuedConnection);
  auto sendTo = [&](QtEndpoint& dst, QtEndpoint& emitter, const Body& body) {
    if (viaSignal) {
      emitter.Emit(body);
    } else {
      QCoreApplication::postEvent(&dst, new QtBodyEvent(body));
    }
  };
  PingRecorder rec(PingRounds(ctx));
  b.endpoint.handler = [&](const Body& in) { sendTo(a.endpoint, toA, in); };
  a.endpoint.handler = [&](const Body& in) {
    if (timeout != nullptr) timeout->stop();
    if (!rec.Reply(in.seq)) return;
    Body out;
    FillBody(out, 0, rec.Next());
    if (timeout != nullptr) timeout->start();
    sendTo(b.endpoint, toB, out);
  };
  // The first request leaves from a's thread too, so that its timer can be armed there.
  QMetaObject::invokeMethod(
      &a.endpoint,
      [&] {
        if (timer) {
          timeout = new QTimer(&a.endpoint);
          timeout->setSingleShot(true);
          timeout->setInterval(kTimeoutSeconds * 1000);
          timeout->start();
        }
        rec.Begin();
        sendTo(b.endpoint, toB, Body{});
      },
      Qt::QueuedConnection);
  const bool finished = rec.Done().Wait(60000);
  return rec.Result(finished);
}

vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                        bool viaSignal) {
  App();
  FloodChecks checks(ctx, producers, consumers);
  std::vector<std::unique_ptr<Hosted>> sinks;
  // emitters[p * consumers + c]: producer p's signal to consumer c
  std::vector<std::unique_ptr<QtEndpoint>> emitters;
  for (unsigned int c = 0; c < consumers; ++c) {
    sinks.push_back(std::make_unique<Hosted>());
    FloodCheck* check = &checks[c];
    sinks[c]->endpoint.handler = [check](const Body& in) { check->Take(in); };
  }
  for (unsigned int p = 0; p < producers; ++p) {
    for (unsigned int c = 0; c < consumers; ++c) {
      emitters.push_back(std::make_unique<QtEndpoint>());
      QObject::connect(emitters.back().get(), &QtEndpoint::body, &sinks[c]->endpoint, &QtEndpoint::onBody,
                       Qt::QueuedConnection);
    }
  }
  return DriveFlood(checks, [&](unsigned int p, unsigned int c, std::uint64_t seq) {
    Body b;
    FillBody(b, p, seq);
    if (viaSignal) {
      emitters[p * consumers + c]->Emit(b);
    } else {
      QCoreApplication::postEvent(&sinks[c]->endpoint, new QtBodyEvent(b));
    }
  });
}

// The sized floods (posted events, with and without GLib): a posted event carrying a B to an object
// in another thread. No Q_OBJECT needed for event(), so it can be a template.
template <class B>
class QtSizedSink : public QObject {
 public:
  FloodCheck* check = nullptr;
  bool event(QEvent* e) override {
    if (e->type() != QtSizedEvent<B>::Kind()) return QObject::event(e);
    check->Take(static_cast<QtSizedEvent<B>*>(e)->body);
    return true;
  }
};

template <class B>
vlkbench::Outcome FloodSized(const vlkbench::RunContext& ctx, bool glib) {
  UseGlib(glib);
  App();
  FloodChecks checks(ctx, 1, 1, SizedFloodMessages(ctx));
  QThread thread;
  QtSizedSink<B> sink;
  sink.check = &checks[0];
  sink.moveToThread(&thread);
  thread.start();
  vlkbench::Outcome out = DriveFlood(checks, [&](unsigned int p, unsigned int, std::uint64_t seq) {
    B b;
    FillBody(b, p, seq);
    QCoreApplication::postEvent(&sink, new QtSizedEvent<B>(b));
  });
  thread.quit();
  thread.wait();
  return out;
}

// n idle QtEndpoints (a QObject with its handler), the unit a Qt application
// keeps per session; they live on this thread, whose event loop would serve them.
std::shared_ptr<void> IdleObjects(unsigned int n) {
  App();
  auto objects = std::make_shared<std::vector<std::unique_ptr<QtEndpoint>>>();
  objects->reserve(n);
  for (unsigned int i = 0; i < n; ++i) objects->push_back(std::make_unique<QtEndpoint>());
  return objects;
}

void RegisterQt(const char* name, bool viaSignal, bool glib) {
  RegisterMsgCases(
      name,
      [=](const vlkbench::RunContext& ctx) {
        UseGlib(glib);
        return Ping(ctx, viaSignal);
      },
      [=](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) {
        UseGlib(glib);
        return Flood(ctx, p, c, viaSignal);
      });
  if (!viaSignal) {
    RegisterRequestCase(name, [=](const vlkbench::RunContext& ctx) {
      UseGlib(glib);
      return Ping(ctx, false, true);
    });
  }
}

void Register() {
  RegisterIdleCase("qt-object", IdleObjects);
  RegisterQt("qt-event", false, false);
  RegisterSizedFloods("qt-event", [](const vlkbench::RunContext& ctx, auto tag) {
    return FloodSized<typename decltype(tag)::type>(ctx, false);
  });
  RegisterQt("qt-event-glib", false, true);
  RegisterSizedFloods("qt-event-glib", [](const vlkbench::RunContext& ctx, auto tag) {
    return FloodSized<typename decltype(tag)::type>(ctx, true);
  });
  RegisterQt("qt-signal", true, false);
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench

#include "compare_msg_qt.moc"
