// End to end on real threads: two tasks playing ping-pong through the routing
// thread, factories and event-table machines, with timers ticked by the test.
#include "test_task_e2e_app.h"

namespace {

using app::App;

TEST(EndToEnd, PingPongSessionsCreateAndKillMachines) {
  constexpr int kSessions = 8;
  App a(kSessions, 64);
  ASSERT_EQ(a.Run(), ERR_OK);
  for (int wave = 0; wave < 3; ++wave) {
    const int before = a.stats.completed.load();
    for (int i = 0; i < kSessions; ++i) a.Start(200);
    ASSERT_TRUE(a.WaitTicking([&] { return a.stats.completed.load() == before + kSessions && a.mgr.AllIdle(); }))
        << "completed " << a.stats.completed.load();
  }
  EXPECT_EQ(a.stats.destroyed.load(), 3 * kSessions);
  EXPECT_EQ(a.stats.noBuf.load(), 0);
  a.mgr.Stop();
  EXPECT_TRUE(a.Quiet());
}

// A probe to a pong machine that has gone is answered with MSG_RELATION_OFF, which
// kills the probing ping machine.
TEST(EndToEnd, RelationProbeToAKilledMachineKillsTheProber) {
  App a(2, 64);
  ASSERT_EQ(a.Run(), ERR_OK);
  a.Start(3);
  ASSERT_TRUE(a.WaitTicking([&] { return a.stats.completed.load() == 1 && a.mgr.AllIdle(); }));
  const unsigned int gone = a.stats.lastPeer.load();
  ASSERT_NE(gone, 0u);
  ASSERT_EQ(a.stats.destroyed.load(), 1);
  a.Start(0, app::MSG_PROBE_START, gone);
  ASSERT_TRUE(a.WaitTicking([&] { return a.stats.destroyed.load() == 2 && a.mgr.AllIdle(); }));
  EXPECT_EQ(a.stats.completed.load(), 1);
  a.mgr.Stop();
  EXPECT_TRUE(a.Quiet());
}

}  // namespace

VLK_TEST_MAIN_WITH_QT
