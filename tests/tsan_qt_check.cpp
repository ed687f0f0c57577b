// Checks of tests/tsan.supp, for the ThreadSanitizer pass only.
//   tsan_qt_check race     an unguarded counter written by a QTimer slot (Qt's
//                          event loop on the main thread) and by a std::thread:
//                          the sanitizer must report it. If a suppression ever
//                          hides races reached through Qt's event loop, this fails.
//   tsan_qt_check handoff  a signal with a QString argument queued from a
//                          std::thread to a slot on the main thread: Qt's own
//                          hand-off, which the sanitizer cannot see; it must stay
//                          silent, so the suppressions still cover it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <QCoreApplication>
#include <QString>
#include <QTimer>

namespace {

unsigned long g_plantedCount = 0;  // guarded by nothing, on purpose
std::atomic<bool> g_done{false};

// The racy write; not inlined, so that the report names it.
__attribute__((noinline)) void PlantedRaceWrite() { g_plantedCount = g_plantedCount + 1; }

int PlantedRace(QCoreApplication& app) {
  std::thread writer([] {
    // Bounded in count and time: the main thread stops it after its slot ran.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = 0; i < 1000000 && !g_done.load(std::memory_order_relaxed); ++i) {
      PlantedRaceWrite();
      if (std::chrono::steady_clock::now() > end) break;
      std::this_thread::yield();
    }
  });
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    PlantedRaceWrite();
    if (++ticks == 20) app.quit();
  });
  timer.start(1);
  app.exec();
  g_done.store(true, std::memory_order_relaxed);
  writer.join();
  // Reached only when the sanitizer stayed silent (halt_on_error stops it first).
  std::printf("planted race not reported (%lu writes)\n", g_plantedCount);
  return 0;
}

}  // namespace

class Cqt_check_emitter : public QObject {
  Q_OBJECT
 Q_SIGNALS:
  void sigLine(QString line);
};

namespace {

int QueuedHandoff() {
  constexpr int kLines = 5000;
  Cqt_check_emitter emitter;
  QObject receiver;
  std::atomic<int> got{0};
  long chars = 0;  // main thread only
  QObject::connect(
      &emitter, &Cqt_check_emitter::sigLine, &receiver,
      [&](const QString& line) {
        chars += line.size();
        got.fetch_add(1, std::memory_order_relaxed);
      },
      Qt::QueuedConnection);
  std::thread sender([&] {
    for (int i = 0; i < kLines; ++i) Q_EMIT emitter.sigLine(QString::number(i));
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (got.load(std::memory_order_relaxed) < kLines && std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents();
  }
  sender.join();
  QCoreApplication::processEvents();
  std::printf("handoff: %d lines, %ld characters\n", got.load(), chars);
  return got.load() == kLines ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "race") == 0) return PlantedRace(app);
  if (argc > 1 && std::strcmp(argv[1], "handoff") == 0) return QueuedHandoff();
  std::fprintf(stderr, "usage: tsan_qt_check race|handoff\n");
  return 2;
}

#include "tsan_qt_check.moc"
