// A channel's receive buffer on its own: the take that the stream read uses
// and the append with one pause and one re-check that the parser and the
// data call termination use, in simulated time.
#include <gtest/gtest.h>

#include "channel/rx_buffer.h"
#include "log_capture.h"
#include "sim_world.h"
#include "test_channel.h"

namespace {

class RxBufferTest : public ::testing::Test {
protected:
    void SetUp() override { ResetDispatcherForTest(); }
    void TearDown() override { ResetDispatcherForTest(); }
    SimWorld world{5};
};

const Bytes kTen = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

}  // namespace

TEST_F(RxBufferTest, TakeInPiecesRewindsAndSetsDrainedOnlyWhenEmptied)
{
    TestChannel ch(1, u"MUX2:", 16);
    ch.MakeReadyForParser();
    ASSERT_EQ(RxBufferAppend(&ch, kTen.data(), 10, 200, NULL), RX_APPENDED);
    EXPECT_EQ(ch.rxLast, ch.rxWrite - 1);
    bufferDrained = 0;

    BYTE out[16] = {};
    EXPECT_EQ(RxBufferTake(&ch, out, 4), 4u);
    EXPECT_EQ(Bytes(out, out + 4), Bytes({1, 2, 3, 4}));
    EXPECT_EQ(ch.rxRead, ch.rxBase + 4);
    EXPECT_EQ(bufferDrained, 0);

    // Exactly what is left: everything, the buffer rewound, the flag set.
    EXPECT_EQ(RxBufferTake(&ch, out, 6), 6u);
    EXPECT_EQ(Bytes(out, out + 6), Bytes({5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(ch.rxRead, ch.rxBase);
    EXPECT_EQ(ch.rxWrite, ch.rxBase);
    EXPECT_EQ(bufferDrained, 1);

    // Nothing buffered: nothing taken, nothing changed.
    bufferDrained = 0;
    EXPECT_EQ(RxBufferTake(&ch, out, 16), 0u);
    EXPECT_EQ(bufferDrained, 0);
}

TEST_F(RxBufferTest, AppendWithoutRoomPausesOnceWithoutLogLineAndDrops)
{
    TestChannel ch(1, u"MUX1:", 10);
    ch.MakeReadyForParser();
    ASSERT_EQ(RxBufferAppend(&ch, kTen.data(), 1, 1000, NULL), RX_APPENDED);
    LogCapture log;

    const DWORD t0 = GetTickCount();
    EXPECT_EQ(RxBufferAppend(&ch, kTen.data(), 10, 1000, NULL), RX_DROPPED);
    EXPECT_EQ(GetTickCount() - t0, 1000u);
    EXPECT_EQ(ch.Unread(), Bytes({1}));
    EXPECT_TRUE(log.Messages().empty());
}

TEST(RxBufferRace, ReaderTakingDuringThePauseMakesRoom)
{
    for (uint64_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        SimWorld seeded(seed);
        ResetDispatcherForTest();
        TestChannel ch(1, u"MUX1:", 10);
        ch.MakeReadyForParser();
        ASSERT_EQ(RxBufferAppend(&ch, kTen.data(), 3, 1000, NULL), RX_APPENDED);
        LogCapture log;

        Bytes taken;
        HANDLE reader = RunAsync([&] {
            Sleep(400);
            taken = ch.Drain();
        });
        const DWORD t0 = GetTickCount();
        EXPECT_EQ(RxBufferAppend(&ch, kTen.data(), 10, 1000, TEXT("full\r\n")), RX_APPENDED);
        EXPECT_EQ(GetTickCount() - t0, 1000u);
        Join(reader);
        EXPECT_EQ(taken, Bytes({1, 2, 3}));
        EXPECT_EQ(ch.Unread(), kTen);
        EXPECT_EQ(ch.rxWrite, ch.rxEnd);
        EXPECT_EQ(log.Messages(), std::vector<std::string>({"full\r\n"}));
        ResetDispatcherForTest();
    }
}

TEST_F(RxBufferTest, ChannelClosingDuringThePauseIsLeftAlone)
{
    TestChannel ch(1, u"MUX1:", 4);
    ch.MakeReadyForParser();
    ASSERT_EQ(RxBufferAppend(&ch, kTen.data(), 4, 1000, NULL), RX_APPENDED);

    HANDLE closer = RunAsync([&] {
        Sleep(300);
        ch.stopThread = 1;
    });
    EXPECT_EQ(RxBufferAppend(&ch, kTen.data(), 1, 1000, NULL), RX_CHANNEL_GONE);
    Join(closer);
    EXPECT_EQ(ch.Unread(), Bytes({1, 2, 3, 4}));
}
