// Message records, message buffers, the message pool's classes and statistics,
// and the task manager's table and output, without threads.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "test_task_util.h"

using namespace tasktest;

namespace {

// Byte offset of a field inside a record, measured on a live object.
template <typename R, typename F>
std::size_t OffsetIn(const R& rec, const F& field) {
  return static_cast<std::size_t>(reinterpret_cast<const char*>(&field) - reinterpret_cast<const char*>(&rec));
}

// Fills a record with a byte pattern, as a reused buffer would hold, and returns it.
template <typename R>
R* Dirty(R* rec, unsigned char pattern) {
  std::memset(static_cast<void*>(rec), pattern, sizeof(R));
  return rec;
}

TEST(MsgRecords, InitSetsTypeAndZeroesEverythingElse) {
  Csys_timout_msg tm;
  Dirty(&tm, 0xAB)->Init();
  EXPECT_EQ(tm.msgType, static_cast<std::uint32_t>(MSG_TIMEOUT));
  tm.msgType = 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&tm);
  for (std::size_t i = 0; i < sizeof(tm); ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(OffsetIn(tm, tm.dataLen), 48u);
  EXPECT_EQ(OffsetIn(tm, tm.data[0]), 49u);

  Csys_fac_inner_msg in;
  Dirty(&in, 0xCD)->init();
  EXPECT_EQ(in.msgType, static_cast<std::uint32_t>(MSG_FAC_INNER));
  EXPECT_EQ(in.srcTaskId | in.dstFsmId | in.msgFlags | in.innerArg1 | in.innerArg2 | in.innerArg3, 0u);
  EXPECT_EQ(OffsetIn(in, in.innerArg1), 48u);
  EXPECT_EQ(OffsetIn(in, in.innerArg3), 56u);

  Ctimer_data td;
  Dirty(&td, 0xEF)->Init();
  EXPECT_EQ(td.taskId, 32u);
  EXPECT_EQ(td.dataLen, 0u);
  EXPECT_EQ(td.factoryId | td.fsmId, 0u);
  for (unsigned char b : td.data) EXPECT_EQ(b, 0);

  Cmsg h, copy;
  Dirty(&h, 0x11)->Init();
  *Dirty(&copy, 0x22) = h;
  EXPECT_EQ(std::memcmp(&copy, &h, sizeof(Cmsg)), 0);
}

// The pool part of a status print, every class with `real` buffers, all idle.
QStringList PoolLines(int real) {
  const QString counts = QString("realCnt=%1, idleCnt=%1").arg(real);
  return {QString(48, '='), "Message pool::", "tiny:  " + counts, "small: " + counts, "comm:  " + counts,
          "big:   " + counts};
}

class MsgPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mgr.initMessagePool(64, 2, 256, 2, 1024, 1, 4096, 1), ERR_OK);
    QObject::connect(&mgr, &Cvlk_task_mgr::sigErrorNoMsgBuf, [this] { ++noBufSignals; });
    QObject::connect(&mgr, &Cvlk_task_mgr::sigOutputTraceInfo, [this](const QString& s) { lines << s; });
  }
  void TearDown() override { EXPECT_TRUE(mgr.AllIdle()); }
  // Every statistic is 0 except those named, which are 1.
  void ExpectStatsOnce(std::initializer_list<unsigned int> once) {
    for (unsigned int idx = 0; idx < EMSG_STAT_NUM; ++idx)
      EXPECT_EQ(mgr.GetMsgStat(idx), std::count(once.begin(), once.end(), idx) ? 1u : 0u) << idx;
  }

  TestMgr mgr;
  int noBufSignals = 0;
  QStringList lines;
};

TEST_F(MsgPoolTest, FirstLargeEnoughClassServesWithoutFallBack) {
  // Each class's limit and one byte more; a class of N bytes holds N + 4.
  const struct { unsigned int size, len, cls; } cases[] = {
      {64, 68, EMSG_CLASS_TINY}, {65, 260, EMSG_CLASS_SMALL}, {1024, 1028, EMSG_CLASS_COMM}, {1025, 4100, EMSG_CLASS_BIG}};
  std::vector<Cvlk_msg_buf*> held;
  for (const auto& c : cases) {
    held.push_back(mgr.GetMsgBuf(c.size));
    ASSERT_NE(held.back(), nullptr) << c.size;
    EXPECT_EQ(held.back()->GetBufLen(), c.len);
    EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_ALLOC_TINY_MSG + c.cls), 1u) << c.size;
  }
  mgr.clearMessageStat();
  EXPECT_EQ(mgr.GetMsgBuf(4097), nullptr);  // above the big class: nothing chosen
  ExpectStatsOnce({EMSG_STAT_E_NO_MSG_NODE});
  for (Cvlk_msg_buf* buf : held) EXPECT_EQ(mgr.FreeMsgBuf(buf), ERR_OK);
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_FREE_MSG), 4u);
}

TEST_F(MsgPoolTest, EmptyClassYieldsNullCountsAndSignalsOnce) {
  Cvlk_msg_buf* a = mgr.GetMsgBuf(10);
  Cvlk_msg_buf* b = mgr.GetMsgBuf(10);
  ASSERT_TRUE(a && b);
  mgr.clearMessageStat();
  EXPECT_EQ(mgr.GetMsgBuf(10), nullptr);  // small buffers are idle, yet no fall-back
  ExpectStatsOnce({EMSG_STAT_N_ALLOC_TINY_MSG, EMSG_STAT_E_NO_TINY_MSG_NODE, EMSG_STAT_E_NO_MSG_NODE});
  EXPECT_EQ(noBufSignals, 1);
  EXPECT_EQ(mgr.GetMsgBuf(10), nullptr);
  EXPECT_EQ(noBufSignals, 1);  // the first failure only
  EXPECT_EQ(mgr.GetNoMsgBufCount(), 2u);
  mgr.FreeMsgBuf(a);
  mgr.FreeMsgBuf(b);
}

TEST_F(MsgPoolTest, ReusedBufferKeepsPreviousBytesAndFreshOneIsZero) {
  Cvlk_msg_buf* first = mgr.GetMsgBuf(1024);
  const Cmsg zero{};
  ASSERT_EQ(std::memcmp(first->GetMsgPointer(), &zero, sizeof(Cmsg)), 0);
  first->GetMsgPointer()->appWord1 = 0xCAFE;
  ASSERT_EQ(mgr.FreeMsgBuf(first), ERR_OK);
  Cvlk_msg_buf* again = mgr.GetMsgBuf(1000);  // the one comm buffer again
  ASSERT_EQ(again, first);
  EXPECT_EQ(again->GetMsgPointer()->appWord1, 0xCAFEu);
  mgr.FreeMsgBuf(again);
}

// The chore helpers: a typed view checks the buffer's size, a new message comes
// from the first class that holds it, with a zeroed body and a filled header.
TEST_F(MsgPoolTest, NewMsgAndMsgCastCheckSizesAndFillTheHeader) {
  struct Rec64 : Cmsg { unsigned char body[64 - sizeof(Cmsg)]; };  // the tiny class's size
  struct Rec69 : Cmsg { unsigned char body[69 - sizeof(Cmsg)]; };  // more than a tiny buffer's 68 bytes
  const Cmsg_addr src = VlkMsgAddr(3, 30, 7), dst = VlkMsgAddr(4, 40);
  const struct { unsigned int extra; bool made; unsigned int len; } cases[] = {
      {0, true, 68}, {1, true, 260}, {4096, false, 0}, {UINT_MAX, false, 0}};
  // Buffers come back with their previous bytes: leave every tiny and small one dirty.
  Cvlk_msg_buf* dirty[] = {mgr.GetMsgBuf(64), mgr.GetMsgBuf(64), mgr.GetMsgBuf(256), mgr.GetMsgBuf(256)};
  for (Cvlk_msg_buf* d : dirty) std::memset(d->GetMsgPointer(), 0xEE, d->GetBufLen()), mgr.FreeMsgBuf(d);
  for (const auto& c : cases) {
    Cvlk_msg_buf* buf = reinterpret_cast<Cvlk_msg_buf*>(&mgr);  // must be overwritten
    Rec64* rec = VlkNewMsg<Rec64>(&mgr, &buf, src, dst, 42, c.extra);
    ASSERT_EQ(rec != nullptr, c.made) << c.extra;
    ASSERT_EQ(buf != nullptr, c.made) << c.extra;
    if (!c.made) continue;
    EXPECT_EQ(buf->GetBufLen(), c.len);
    const Cmsg want = {3, 30, 7, 0, 4, 40, 0, 0, 42, 0, 0, 0};
    EXPECT_EQ(std::memcmp(rec, &want, sizeof(Cmsg)), 0);
    EXPECT_TRUE(std::all_of(rec->body, rec->body + sizeof(rec->body), [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(MsgCast<Rec64>(buf), rec);
    EXPECT_EQ(MsgCast<Rec69>(buf) != nullptr, c.len > 68) << c.extra;
    const Cmsg_addr back = VlkMsgSource(rec);
    EXPECT_EQ(back.taskId * 100 + back.factoryId + back.fsmId, 337u);
    mgr.FreeMsgBuf(buf);
  }
  EXPECT_EQ(MsgCast<Cmsg>(nullptr), nullptr);
}

TEST_F(MsgPoolTest, BadFreesAreRefusedAndEmptyPoolsFail) {
  EXPECT_EQ(mgr.FreeMsgBuf(nullptr), ERR_INVALID_PARAM);
  Cvlk_msg_buf* buf = mgr.GetMsgBuf(100);
  ASSERT_EQ(mgr.FreeMsgBuf(buf), ERR_OK);
  EXPECT_EQ(mgr.FreeMsgBuf(buf), ERR_INVALID_OPR);  // double free
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_FREE_MSG), 1u);

  TestMgr other;
  EXPECT_EQ(other.GetMsgBuf(10), nullptr);  // no pool yet: a failure, not a crash
  ASSERT_EQ(other.initMessagePool(64, 0, 256, 1, 1024, 1, 4096, 1), ERR_OK);
  EXPECT_EQ(other.GetMsgBuf(1), nullptr);  // a class of no buffers exists and always fails
  EXPECT_EQ(other.GetMsgStat(EMSG_STAT_E_NO_TINY_MSG_NODE), 1u);
  Cvlk_msg_buf* foreign = other.GetMsgBuf(100);
  EXPECT_EQ(mgr.FreeMsgBuf(foreign), ERR_INVALID_PARAM);  // not one of this pool's classes
  EXPECT_EQ(other.FreeMsgBuf(foreign), ERR_OK);
  EXPECT_EQ(mgr.initMessagePool(1, 1, 2, 2, 3, 3, 4, 4), ERR_INVALID_OPR);
  EXPECT_EQ(mgr.GetMsgRealNum(EMSG_CLASS_TINY), 2u);
}

TEST_F(MsgPoolTest, StatisticPrintShowsStatusHeadingAndNonZeroCounts) {
  TestMgr even;  // one buffer in every class: one line pattern fits all
  ASSERT_EQ(even.initMessagePool(64, 1, 128, 1, 256, 1, 512, 1), ERR_OK);
  QObject::connect(&even, &Cvlk_task_mgr::sigOutputTraceInfo, [this](const QString& s) { lines << s; });
  even.showMessageStat();
  EXPECT_EQ(lines, PoolLines(1) + QStringList({QString(40, '='), "Message pool statistic:  "}));
  lines.clear();
  Cvlk_msg_buf* buf = mgr.GetMsgBuf(3000);
  mgr.showMessageStat();
  ASSERT_EQ(lines.size(), 10);
  EXPECT_EQ(lines[5], "big:   realCnt=1, idleCnt=0");
  EXPECT_EQ(lines[8], "EMSG_STAT_N_ALLOC_MSG (1)");
  EXPECT_EQ(lines[9], "EMSG_STAT_N_ALLOC_BIG_MSG (1)");
  mgr.FreeMsgBuf(buf);
}

class MgrOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QObject::connect(&mgr, &Cvlk_task_mgr::sigOutputTraceInfo, [this](const QString& s) { out << s; });
    QObject::connect(&mgr, &Cvlk_task_mgr::sigLogInfo, [this](const QString& s) { out << "I:" + s; });
    QObject::connect(&mgr, &Cvlk_task_mgr::sigLogWarning, [this](const QString& s) { out << "W:" + s; });
    QObject::connect(&mgr, &Cvlk_task_mgr::sigLogError, [this](const QString& s) { out << "E:" + s; });
  }
  TestMgr mgr;
  QStringList out;
};

// Trace lines of the manager and its tasks pass only while tracing is on; log
// lines always pass; empty and null display lines are dropped.
TEST_F(MgrOutputTest, TraceSwitchGatesTraceLinesOnly) {
  TestTask task(&mgr, 1, "t1");
  ASSERT_EQ(mgr.regTask(&task), ERR_OK);
  mgr.Display("");
  mgr.Display(nullptr);
  mgr.TraceInfo("hidden");
  task.TraceInfo("off");
  task.slotTracedInfo("off too");
  mgr.TraceOn();
  mgr.TraceInfo("shown");
  task.slotTracedInfo("traced");  // task signal -> manager signal
  task.TraceInfo("on");
  mgr.TraceOff();
  mgr.TraceInfo("hidden again");
  mgr.LogInfo("");
  mgr.LogWarning("w");
  task.LogWarning("tw");
  mgr.LogError("e");
  EXPECT_EQ(out, QStringList({"shown", "traced", "on", "I:", "W:w", "W:tw", "E:e"}));
}

TEST_F(MgrOutputTest, RegTaskLimitsAndPrint) {
  ASSERT_EQ(mgr.initMessagePool(64, 1, 128, 1, 256, 1, 512, 1), ERR_OK);
  std::vector<std::unique_ptr<TestTask>> tasks;
  TestTask t32(&mgr, 32, "t32");
  EXPECT_EQ(mgr.regTask(&t32), ERR_INVALID_PARAM);
  EXPECT_EQ(mgr.regTask(nullptr), ERR_INVALID_PARAM);
  for (unsigned int id = 0; id < 32; ++id) {
    tasks.push_back(std::make_unique<TestTask>(&mgr, id, id == 5 ? "a-name-much-longer-than-31-chars!" : "t"));
    EXPECT_EQ(mgr.regTask(tasks.back().get()), ERR_OK) << id;
  }
  TestTask extra(&mgr, 7, "extra");
  EXPECT_EQ(mgr.regTask(&extra), ERR_OUT_OF_MEMORY);  // 33rd
  EXPECT_EQ(mgr.GetTaskCount(), 32u);
  EXPECT_STREQ(tasks[5]->GetName(), "a-name-much-longer-than-31-char");
  tasks.resize(3);  // deleted tasks leave the table and free their slots
  EXPECT_EQ(mgr.GetTaskCount(), 3u);
  // Regression: a second registration of a task neither counts nor connects it
  // twice; another task under a taken id is refused; a freed slot is reused.
  EXPECT_EQ(mgr.regTask(tasks[1].get()), ERR_OK);
  EXPECT_EQ(mgr.regTask(&extra), ERR_OK);
  EXPECT_EQ(mgr.regTask(&extra), ERR_OK);
  TestTask twin(&mgr, 7, "twin");
  EXPECT_EQ(mgr.regTask(&twin), ERR_OBJ_EXISTED);
  EXPECT_EQ(mgr.GetTaskCount(), 4u);
  mgr.TraceOn();
  extra.slotTracedInfo("once");
  mgr.TraceOff();
  EXPECT_EQ(out, QStringList{"once"});
  out.clear();
  mgr.Print();
  QStringList expected = PoolLines(1);
  const QString queue = "queue: depth=0, highWater=0, handled=0, timed=0, meanWaitUs=0, maxWaitUs=0";
  for (const char* task : {"t(0): ", "t(1): ", "t(2): ", "extra(7): "}) {
    expected << QString(58, '=') << task << queue << " ";
  }
  EXPECT_EQ(out, expected);
  // Once Run has started the routing thread, which reads the table unlocked,
  // the table is closed. Without a QCoreApplication Run says timers cannot tick.
  ASSERT_EQ(mgr.Run(), ERR_OK);
  EXPECT_TRUE(out.contains("W:VLK: Run without a QCoreApplication: timers will not fire"));
  EXPECT_EQ(mgr.regTask(&twin), ERR_INVALID_OPR);
  mgr.Stop();
}

// TransferMsg forwards nothing and frees nothing: the buffer is still the
// caller's to send (a freed one would belong to its next taker meanwhile).
TEST_F(MgrOutputTest, TransferMsgLeavesTheBufferWithTheCaller) {
  ASSERT_EQ(mgr.initMessagePool(64, 1, 128, 1, 256, 1, 512, 1), ERR_OK);
  TestTask task(&mgr, 1, "t");
  Cvlk_msg_buf* buf = mgr.GetMsgBuf(10);
  EXPECT_EQ(mgr.TransferMsg(buf), ERR_OK);
  EXPECT_EQ(task.TransferMsg(buf), ERR_OK);
  EXPECT_EQ(mgr.GetMsgIdleNum(EMSG_CLASS_TINY), 0u);
  EXPECT_EQ(mgr.FreeMsgBuf(buf), ERR_OK);
}

TEST(TaskSelfCheck, MidnightCheckRunsOnlyBetweenThreeAndFive) {
  TestMgr mgr;
  TestTask task(&mgr, 1, "t");
  Cvlk_task& base = task;  // the checks and the not-found hook are public operations
  const int hours[] = {2, 3, 4, 5, 23};
  for (int h : hours) {
    task.hour = h;
    EXPECT_EQ(base.selfChecking(), ERR_OK);
  }
  EXPECT_EQ(base.midnightChecking(), ERR_OK);
  Cmsg msg{};
  msg.msgType = MSG_TIMEOUT;
  EXPECT_EQ(base._fsm_not_found(&msg), PRC_NOT_PROCESSED);  // not the self-check timer
  EXPECT_EQ(task.selfCheckRuns, 5);
  EXPECT_EQ(task.midnightRuns, 3);
}

}  // namespace
