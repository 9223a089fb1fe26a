// The reader and parser threads with the dispatcher running: frames split
// in time, the 3000 ms frame time-out, line errors, breaks, an empty event
// mask, and a full receive ring.
#include <gtest/gtest.h>

#include "dispatcher/dispatcher.h"
#include "dispatcher_rig.h"
#include "platform/host.h"
#include "test_channel.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char kTimeOut[] = "MUX: TimeOutThread(3000) -> Time-out ; Time=";

// The dispatcher up, with a channel on DLCI 1 that the parser delivers to.
class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig_ = std::make_unique<DispatcherRig>(seed_, module_);
        ASSERT_TRUE(g_dispatcher.Init()) << rig_->Dump();
        ch_ = std::make_unique<TestChannel>(1, u"MUX2:", bufferSize_);
        ch_->MakeReadyForParser();
        rig_->Log().Clear();
    }
    void TearDown() override
    {
        // The parser ends before the channel goes.
        g_dispatcher.Stop();
        ch_.reset();
        rig_.reset();
    }

    sim::ModuleSerial& Modem() { return rig_->Modem(); }
    std::vector<std::string> Logged(const std::string& needle) { return rig_->Logged(needle); }
    void Send(const Bytes& octets, uint64_t atMs = 0) { Modem().SendRaw(octets, atMs); }

    uint64_t seed_ = 2;
    sim::ModuleSettings module_ = DispatcherRig::DefaultModule();
    LONG bufferSize_ = 256;
    std::unique_ptr<DispatcherRig> rig_;
    std::unique_ptr<TestChannel> ch_;
};

Bytes Frame1(const Bytes& info)
{
    return ModemFrame(Address(1, true), 0xEF, info);
}

TEST_F(ReaderTest, SecondHalfTwoSecondsLaterCompletesTheFrame)
{
    Bytes f = Frame1({0x41, 0x42, 0x43});
    Send(Bytes(f.begin(), f.begin() + 4));
    SleepMs(2000);
    EXPECT_TRUE(ch_->Unread().empty());
    Send(Bytes(f.begin() + 4, f.end()));
    SleepMs(50);
    EXPECT_EQ(ch_->Unread(), (Bytes{0x41, 0x42, 0x43}));
    // The armed time-out was cancelled and never fires.
    SleepMs(5000);
    EXPECT_TRUE(Logged("Time-out").empty()) << rig_->Dump();
    EXPECT_TRUE(Logged("0x").empty()) << rig_->Dump();
}

TEST_F(ReaderTest, SecondHalfThatNeverComesIsCutOffAfter3000ms)
{
    Bytes f = Frame1({0x41, 0x42, 0x43});
    uint64_t sentAt = plat::NowMs();
    Send(Bytes(f.begin(), f.begin() + 5));
    SleepMs(3100);
    auto to = Logged(kTimeOut);
    ASSERT_EQ(to.size(), 1u) << rig_->Dump();
    long at = DispatcherRig::TimeOf(to[0]);
    EXPECT_GE((uint64_t)at, sentAt + 3000);
    EXPECT_LE((uint64_t)at, sentAt + 3002);

    // The late rest is hunted through; the next frame arrives whole.
    Send(Bytes(f.begin() + 5, f.end()));
    Send(Frame1({0x51}), plat::NowMs() + 20);
    SleepMs(100);
    EXPECT_EQ(ch_->Unread(), (Bytes{0x51}));
    EXPECT_EQ(Logged("0x42,").size(), 1u) << rig_->Dump();
    EXPECT_EQ(Logged("0x43,").size(), 1u) << rig_->Dump();
    EXPECT_EQ(Logged(kTimeOut).size(), 1u);
}

TEST_F(ReaderTest, LineErrorWithoutCharactersLeavesTheFrameAlone)
{
    Bytes f = Frame1({0x41, 0x42, 0x43});
    uint64_t now = plat::NowMs();
    Send(Bytes(f.begin(), f.begin() + 5), now);
    Modem().SendLineError(CE_FRAME, false, 0, now + 20);
    Send(Bytes(f.begin() + 5, f.end()), now + 40);
    SleepMs(100);
    EXPECT_EQ(Logged("MUX: ParseDataThread() -> Serial port error(CE_FRAME) ; Time=").size(), 1u)
        << rig_->Dump();
    EXPECT_EQ(ch_->Unread(), (Bytes{0x41, 0x42, 0x43}));
}

TEST_F(ReaderTest, LineErrorWithCharactersAbandonsTheFrame)
{
    Bytes f = Frame1({0x41, 0x42, 0x43});
    uint64_t now = plat::NowMs();
    Send(Bytes(f.begin(), f.begin() + 5), now);
    // 0x42 arrives with a parity error.
    Modem().SendLineError(CE_RXPARITY, true, 0x42, now + 20);
    Send(Bytes(f.begin() + 6, f.end()), now + 40);
    Send(Frame1({0x61}), now + 60);
    SleepMs(100);
    EXPECT_EQ(Logged("MUX: ParseDataThread() -> Serial port error(CE_RXPARITY) ; Time=").size(), 1u)
        << rig_->Dump();
    // The broken frame is gone; its tail was hunted through.
    EXPECT_EQ(ch_->Unread(), (Bytes{0x61}));
    EXPECT_EQ(Logged("0x43,").size(), 1u) << rig_->Dump();
}

TEST_F(ReaderTest, ErrorWordsAndBreak)
{
    uint64_t now = plat::NowMs();
    Modem().SendLineError(CE_OVERRUN | CE_FRAME, false, 0, now + 5);
    Modem().SendLineError(CE_FRAME, false, 0, now + 25);
    Modem().SendBreak(now + 45);
    SleepMs(100);
    auto msgs = rig_->Log().Messages();
    std::vector<std::string> want = {
        "MUX: ParseDataThread() -> Serial port error(unknown) ; Time=",
        "MUX: ParseDataThread() -> Serial port error(CE_FRAME) ; Time=",
        "MUX: ParseDataThread() -> Serial port break ; Time=",
    };
    ASSERT_EQ(msgs.size(), want.size()) << rig_->Dump();
    for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(msgs[i].rfind(want[i], 0), 0u) << msgs[i];
    // The frame after a break is taken as usual.
    Send(Frame1({0x71, 0x72}));
    SleepMs(50);
    EXPECT_EQ(ch_->Unread(), (Bytes{0x71, 0x72}));
}

TEST_F(ReaderTest, EmptyEventMaskIsSteppedOver)
{
    Bytes f = Frame1({0x41, 0x42, 0x43});
    Send(Bytes(f.begin(), f.begin() + 5));
    SleepMs(20);
    FFUARTDATA* before = pWriteNode;
    // Setting the mask again releases the reader's wait with an empty mask.
    SetCommMask(hUART, EV_RXCHAR | EV_BREAK | EV_ERR);
    SleepMs(20);
    EXPECT_EQ(pWriteNode, before->pNext);
    EXPECT_EQ(before->eventMask, 0u);
    Send(Bytes(f.begin() + 5, f.end()));
    SleepMs(50);
    EXPECT_EQ(ch_->Unread(), (Bytes{0x41, 0x42, 0x43}));
    EXPECT_TRUE(rig_->Log().Messages().empty()) << rig_->Dump();
}

TEST_F(ReaderTest, FullRingPausesAndOverwritesNothing)
{
    // The channel's thread takes the control octets as they are queued.
    volatile bool done = false;
    HANDLE taker = RunAsync([&] {
        while (!done) {
            WaitForSingleObject(ch_->wakeEvent, 20);
            ch_->TakeQueued();
        }
    });
    // The parser is held at the first frame's delivery.
    EnterCriticalSection(&ch_->rxLock);
    uint64_t now = plat::NowMs();
    Bytes all;
    for (int i = 0; i < 60; i++) {
        Bytes info = {(uint8_t)i, (uint8_t)(i + 100), (uint8_t)(200 - i)};
        all.insert(all.end(), info.begin(), info.end());
        Send(Frame1(info), now + 5 + i * 2);
    }
    SleepMs(1500);
    auto full = Logged("MUX: CDispatcher::GetDataThread() -> No free write node.\r\n");
    // Full at the 50th frame (1 being parsed + 48 waiting + the write node);
    // one line per 500 ms pause while it stays full.
    EXPECT_GE(full.size(), 2u) << rig_->Dump();
    EXPECT_LE(full.size(), 3u) << rig_->Dump();
    LeaveCriticalSection(&ch_->rxLock);
    SleepMs(600);
    EXPECT_EQ(ch_->Unread(), all);
    EXPECT_EQ(Logged("No free write node.").size(), full.size());
    done = true;
    Join(taker);
}

// The module hands its output over as a USB modem does: a whole chunk at
// once, then silence. The port reports the chunk's arrival once; what one
// node cannot take is read into the next ones before the reader waits again.
class BurstReaderTest : public ReaderTest {
protected:
    BurstReaderTest()
    {
        module_.serial.chunkOctets = 4096;
        module_.serial.chunkHoldMs = 2;
        bufferSize_ = 8192;
    }
};

TEST_F(BurstReaderTest, ChunkLargerThanANodeIsReadAtOnce)
{
    // 20 frames of 127 octets: 2,660 octets in one chunk, then nothing.
    Bytes all, wire;
    for (int i = 0; i < 20; i++) {
        Bytes info(127);
        for (size_t k = 0; k < info.size(); k++) info[k] = static_cast<uint8_t>(i * 31 + k);
        all.insert(all.end(), info.begin(), info.end());
        Bytes f = Frame1(info);
        wire.insert(wire.end(), f.begin(), f.end());
    }
    ASSERT_GT(wire.size(), 2u * MUX_NODE_DATA_SIZE);
    Send(wire);
    SleepMs(50);
    EXPECT_EQ(ch_->Unread().size(), all.size()) << rig_->Dump();
    EXPECT_EQ(ch_->Unread(), all);
    // Nothing was left to the frame time-out.
    SleepMs(4000);
    EXPECT_TRUE(Logged(kTimeOut).empty()) << rig_->Dump();
    EXPECT_TRUE(Logged("Frame Data").empty()) << rig_->Dump();

    // A frame sent after the burst arrives on its own as well.
    ch_->Drain();
    Send(Frame1({0x51, 0x52}));
    SleepMs(50);
    EXPECT_EQ(ch_->Unread(), (Bytes{0x51, 0x52}));
}

// A frame the module sends with a wrong FCS is dumped once, counted and not
// delivered; the frames around it are.
TEST_F(ReaderTest, FrameWithWrongFcsFromTheModuleIsDropped)
{
    size_t sent = 0;
    for (const sim::RecordEntry& e : Modem().Record())
        if (e.direction == sim::Direction::ModuleToHost && e.kind == sim::RecordKind::Frame) ++sent;
    // The module's next frames: the second of three goes out with a bad FCS.
    Modem().ChangeSettings([&](sim::SerialSettings& s) { s.badFcsToHost.insert(sent + 1); });
    const DWORD before = g_dispatcher.parse.badFcsFrames;
    Modem().SendUih(1, {0x41});
    Modem().SendUih(1, {0x42});
    Modem().SendUih(1, {0x43});
    SleepMs(50);
    EXPECT_EQ(ch_->Unread(), (Bytes{0x41, 0x43})) << rig_->Dump();
    EXPECT_EQ(g_dispatcher.parse.badFcsFrames, before + 1);
    Bytes bad = ModemFrame(Address(1, false), 0xEF, {0x42});  // the module sends UIH with C/R clear
    bad[bad.size() - 2] ^= 0xFF;
    char hex[3];
    std::string dump = "MUX: Frame Data = ";
    for (uint8_t o : bad) {
        snprintf(hex, sizeof hex, "%02X", o);
        dump += hex;
    }
    EXPECT_EQ(Logged("MUX: Frame Data = "), (std::vector<std::string>{dump + "\r\n"})) << rig_->Dump();
}

}  // namespace
