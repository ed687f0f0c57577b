// The message pool's classes and statistics and the task manager's table, without
// threads (and without a QCoreApplication).
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "test_task_util.h"

using namespace tasktest;

namespace {

struct FullRec : Cmsg { unsigned char body[69 - sizeof(Cmsg)]; };  // more than a tiny buffer's 68 bytes

class MsgPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mgr.initMessagePool(64, 2, 256, 2, 1024, 1, 4096, 1), ERR_OK);
    QObject::connect(&mgr, &Cvlk_task_mgr::sigErrorNoMsgBuf, [this] { ++noBufSignals; });
  }
  void TearDown() override { EXPECT_TRUE(mgr.AllIdle()); }
  // Every statistic is 0 except those named, which are 1.
  void ExpectStatsOnce(std::initializer_list<unsigned int> once) {
    for (unsigned int idx = 0; idx < EMSG_STAT_NUM; ++idx)
      EXPECT_EQ(mgr.GetMsgStat(idx), std::count(once.begin(), once.end(), idx) ? 1u : 0u) << idx;
  }

  TestMgr mgr;
  int noBufSignals = 0;
};

// The first class large enough serves, with no fall-back to a larger one when it
// is empty; every request is counted, the first failure signalled once.
TEST_F(MsgPoolTest, FirstLargeEnoughClassServesWithoutFallBackAndBadFreesAreRefused) {
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
  held.push_back(mgr.GetMsgBuf(1));  // the second tiny buffer
  mgr.clearMessageStat();
  EXPECT_EQ(mgr.GetMsgBuf(4097), nullptr);  // above the big class: nothing chosen
  ExpectStatsOnce({EMSG_STAT_E_NO_MSG_NODE});
  mgr.clearMessageStat();
  EXPECT_EQ(mgr.GetMsgBuf(10), nullptr);  // a small buffer is idle, yet no fall-back
  ExpectStatsOnce({EMSG_STAT_N_ALLOC_TINY_MSG, EMSG_STAT_E_NO_TINY_MSG_NODE, EMSG_STAT_E_NO_MSG_NODE});
  EXPECT_EQ(noBufSignals, 1);  // the first failure only
  EXPECT_EQ(mgr.GetNoMsgBufCount(), 2u);
  // Bad frees are refused and counted nowhere; TransferMsg leaves the buffer with
  // the caller (a freed one would belong to its next taker meanwhile).
  EXPECT_EQ(mgr.TransferMsg(held[1]), ERR_OK);
  EXPECT_EQ(mgr.GetMsgIdleNum(EMSG_CLASS_SMALL), 1u);
  for (Cvlk_msg_buf* buf : held) EXPECT_EQ(mgr.FreeMsgBuf(buf), ERR_OK);
  EXPECT_EQ(mgr.FreeMsgBuf(held[0]), ERR_INVALID_OPR);  // double free
  TestMgr other(1, 1);
  Cvlk_msg_buf* foreign = other.GetMsgBuf(100);
  EXPECT_EQ(mgr.FreeMsgBuf(foreign), ERR_INVALID_PARAM);  // not one of this pool's classes
  EXPECT_EQ(other.FreeMsgBuf(foreign), ERR_OK);
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_FREE_MSG), 5u);
}

// A new message comes from the first class that holds it, with a zeroed body and a
// filled header, also in a reused (dirty) buffer; a typed view checks the size.
TEST_F(MsgPoolTest, NewMsgAndMsgCastCheckSizesAndFillTheHeader) {
  struct Rec64 : Cmsg { unsigned char body[64 - sizeof(Cmsg)]; };  // the tiny class's size
  const struct { unsigned int extra, len; } cases[] = {{0, 68}, {1, 260}, {4096, 0}, {UINT_MAX, 0}};
  Cvlk_msg_buf* dirty[] = {mgr.GetMsgBuf(64), mgr.GetMsgBuf(64), mgr.GetMsgBuf(256), mgr.GetMsgBuf(256)};
  for (Cvlk_msg_buf* d : dirty) std::memset(d->GetMsgPointer(), 0xEE, d->GetBufLen()), mgr.FreeMsgBuf(d);
  for (const auto& c : cases) {
    Cvlk_msg_buf* buf = reinterpret_cast<Cvlk_msg_buf*>(&mgr);  // must be overwritten
    Rec64* rec = VlkNewMsg<Rec64>(&mgr, &buf, VlkMsgAddr(3, 30, 7), VlkMsgAddr(4, 40), 42, c.extra);
    ASSERT_EQ(buf == nullptr, c.len == 0) << c.extra;
    ASSERT_EQ(rec == nullptr, c.len == 0) << c.extra;
    if (buf == nullptr) continue;
    const Cmsg want = {3, 30, 7, 0, 4, 40, 0, 0, 42, 0, 0, 0};
    EXPECT_EQ(std::memcmp(rec, &want, sizeof(Cmsg)), 0);
    EXPECT_TRUE(std::all_of(rec->body, rec->body + sizeof(rec->body), [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(buf->GetBufLen(), c.len);
    EXPECT_EQ(MsgCast<Rec64>(buf), rec);
    EXPECT_EQ(MsgCast<FullRec>(buf) != nullptr, c.len > 68) << c.extra;
    mgr.FreeMsgBuf(buf);
  }
}

// Ids 0..31 and 32 tasks at most; a deleted task frees its slot. Regression: a
// second registration of a task neither counts nor connects it twice; another
// task under a taken id is refused. Once Run has started the routing thread,
// which reads the table unlocked, the table is closed.
TEST(MgrTable, RegTaskLimits) {
  TestMgr mgr(1, 1);
  TestTask t32(&mgr, 32, "t32");
  EXPECT_EQ(mgr.regTask(&t32), ERR_INVALID_PARAM);
  EXPECT_EQ(mgr.regTask(nullptr), ERR_INVALID_PARAM);
  std::vector<std::unique_ptr<TestTask>> tasks;
  for (unsigned int id = 0; id < 32; ++id) {
    tasks.push_back(std::make_unique<TestTask>(&mgr, id, id == 5 ? "a-name-much-longer-than-31-chars!" : "t"));
    EXPECT_EQ(mgr.regTask(tasks.back().get()), ERR_OK) << id;
  }
  TestTask extra(&mgr, 7, "extra");
  EXPECT_EQ(mgr.regTask(&extra), ERR_OUT_OF_MEMORY);  // the 33rd
  EXPECT_EQ(mgr.GetTaskCount(), 32u);
  EXPECT_STREQ(tasks[5]->GetName(), "a-name-much-longer-than-31-char");
  tasks.resize(3);
  EXPECT_EQ(mgr.GetTaskCount(), 3u);
  EXPECT_EQ(mgr.regTask(tasks[1].get()), ERR_OK);
  EXPECT_EQ(mgr.regTask(&extra), ERR_OK);
  EXPECT_EQ(mgr.regTask(&extra), ERR_OK);
  TestTask twin(&mgr, 7, "twin");
  EXPECT_EQ(mgr.regTask(&twin), ERR_OBJ_EXISTED);
  EXPECT_EQ(mgr.GetTaskCount(), 4u);
  mgr.TraceOn();
  extra.slotTracedInfo("once");
  EXPECT_EQ(mgr.lines, QStringList{"once"});
  // Without a QCoreApplication Run says that timers cannot tick.
  ASSERT_EQ(mgr.Run(), ERR_OK);
  EXPECT_EQ(mgr.warnings, QStringList{"VLK: Run without a QCoreApplication: timers will not fire"});
  EXPECT_EQ(mgr.regTask(&twin), ERR_INVALID_OPR);
  mgr.Stop();
}

}  // namespace
