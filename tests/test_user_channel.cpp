// CUserChannel in the running multiplexer against the simulated module:
// buffer sizes by type and name, the name copy, the service negotiation of
// a data channel, the thread's priority and its EV_RXCHAR, and the release
// of a client waiting for events when the channel is destroyed.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher_rig.h"
#include "platform/host.h"
#include "sim/frame_record.h"
#include "test_channel.h"

#include <memory>
#include <string>
#include <vector>

// Channels have a non-virtual destructor by design and are always deleted
// through their concrete class.
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"

namespace {

class UserChannelTest : public ::testing::Test {
protected:
    UserChannelTest() : rig_(1) { plat::SetDebugSink([](const std::u16string&) {}); }
    ~UserChannelTest() override
    {
        for (CUserChannel* ch : channels_) delete ch;
        plat::SetDebugSink(nullptr);
    }

    CUserChannel* Make(BYTE dlci, DWORD type, const char16_t* name)
    {
        channels_.push_back(new CUserChannel(dlci, type, name));
        return channels_.back();
    }

    // The SNC commands the host sent, as their DLCI octets.
    std::vector<uint8_t> SncDlciOctets()
    {
        std::vector<uint8_t> out;
        for (const auto& m : rig_.Modem().ControlFromHost()) {
            if (m.message.type == 0xD0 && m.message.command && !m.message.values.empty()) {
                EXPECT_EQ(m.message.values, (std::vector<uint8_t>{m.message.values[0], 0x03, 0x01}));
                out.push_back(m.message.values[0]);
            }
        }
        return out;
    }

    DispatcherRig rig_;
    std::vector<CUserChannel*> channels_;
};

TEST_F(UserChannelTest, BufferSizeByTypeAndName)
{
    struct Case {
        BYTE dlci;
        DWORD type;
        const char16_t* name;
        LONG size;
    } cases[] = {
        {1, 0, u"MUX2:", 30720}, {2, 0, u"MUX1:", 10240}, {3, 1, u"MUX2:", 2048},
        {4, 0, u"mux2:", 10240}, {5, 1, nullptr, 2048},   {6, 0, nullptr, 10240},
    };
    for (const Case& c : cases) {
        CUserChannel* ch = Make(c.dlci, c.type, c.name);
        SCOPED_TRACE(c.dlci);
        EXPECT_FALSE(ch->IsNotReady()) << rig_.Dump();
        EXPECT_EQ(ch->rxSize, c.size);
        EXPECT_EQ(ch->rxEnd - ch->rxBase, c.size);
        EXPECT_EQ(ch->channelType, c.type);
        EXPECT_EQ(std::u16string(ch->name), c.name ? c.name : u"?");
        EXPECT_NE(ch->commEvent, nullptr);
    }
}

TEST_F(UserChannelTest, NameIsTheChannelsOwnCopy)
{
    std::u16string name = u"MUX4:";
    CUserChannel* ch = Make(4, 1, name.c_str());
    EXPECT_NE(static_cast<const void*>(ch->name), static_cast<const void*>(name.c_str()));
    name[3] = u'9';
    EXPECT_EQ(std::u16string(ch->name), u"MUX4:");
}

TEST_F(UserChannelTest, DataChannelNegotiatesItsServiceAfterUa)
{
    CUserChannel* data = Make(5, 0, u"MUX2:");
    CUserChannel* command = Make(6, 1, u"MUX1:");
    EXPECT_FALSE(data->IsNotReady());
    EXPECT_FALSE(command->IsNotReady());
    EXPECT_EQ(SncDlciOctets(), (std::vector<uint8_t>{5 * 4 + 3}));
    // The SNC follows the UA of the channel's own SABM.
    uint64_t uaAt = 0, sncAt = 0;
    for (const auto& e : rig_.Modem().Record()) {
        if (e.kind != sim::RecordKind::Frame || e.octets.size() < 3) continue;
        if (e.direction == sim::Direction::ModuleToHost && e.octets[1] >> 2 == 5 && e.octets[2] == 0x73) uaAt = e.timeMs;
        if (e.direction == sim::Direction::HostToModule && e.octets[1] >> 2 == 0 && e.octets.size() > 5 &&
            e.octets[4] == 0xD3)
            sncAt = e.timeMs;
    }
    EXPECT_GT(uaAt, 0u);
    EXPECT_GT(sncAt, uaAt);
}

TEST_F(UserChannelTest, RefusedServiceDisconnectsAndFails)
{
    ASSERT_NE(Make(1, 1, u"MUX1:"), nullptr);  // the multiplexer is up
    rig_.Modem().ChangeSettings([](sim::SerialSettings& s) { s.answerSnc = false; });
    CUserChannel* ch = Make(7, 0, u"MUX2:");
    EXPECT_TRUE(ch->IsNotReady());
    EXPECT_EQ(ch->initialized, 0);
    EXPECT_EQ(ch->connected, 0);
    EXPECT_EQ(g_dispatcher.refCount, 2);
    size_t discs = 0;
    for (const HostFrame& f : rig_.Frames()) discs += (f.Dlci() == 7 && f.Control() == 0x53);
    EXPECT_EQ(discs, 1u);
}

TEST_F(UserChannelTest, ThreadRunsAt249AndEveryUihSetsRxChar)
{
    CUserChannel* ch = Make(3, 1, u"MUX3:");
    ASSERT_FALSE(ch->IsNotReady());
    EXPECT_EQ(CeGetThreadPriority(ch->thread), 249);
    EXPECT_EQ(ch->commMask, 0u);
    EXPECT_EQ(ch->commEvents, 0);
    // A client waiting on the event is released by the frame's pulse.
    DWORD waited = 0;
    HANDLE waiter = RunAsync([&] { waited = WaitForSingleObject(ch->commEvent, 5000); });
    SleepMs(10);
    rig_.Modem().SendUih(3, {'h', 'i'});
    Join(waiter);
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_EQ(ch->commEvents, static_cast<LONG>(EV_RXCHAR));
}

// The modem's DISC and SABM on the DLCI, twice, arriving together: every
// octet is taken on the wakes they bring, each answered with UA, and the channel ends
// connected (a thread that took one octet per wake answered the SABM only
// with the next frame).
TEST_F(UserChannelTest, FramesArrivingTogetherAreAllAnswered)
{
    CUserChannel* ch = Make(3, 1, u"MUX3:");
    ASSERT_FALSE(ch->IsNotReady());
    auto uas = [&] {
        size_t n = 0;
        for (const sim::RecordEntry& e : rig_.Modem().Record()) {
            sim::DecodedFrame f;
            if (e.direction == sim::Direction::HostToModule && e.kind == sim::RecordKind::Frame &&
                sim::DecodeFrame(e.octets, &f) && f.dlci == 3 && f.control == 0x73)
                n++;
        }
        return n;
    };
    size_t before = uas();
    std::vector<uint8_t> all;
    for (int i = 0; i < 2; i++) {
        for (uint8_t control : {uint8_t(0x53), uint8_t(0x3F)}) {
            std::vector<uint8_t> f = sim::BuildFrame(3, true, control);
            all.insert(all.end(), f.begin(), f.end());
        }
    }
    rig_.Modem().SendRaw(all);
    SleepMs(50);
    EXPECT_EQ(uas() - before, 4u);
    EXPECT_EQ(ch->connected, 1);
}

TEST_F(UserChannelTest, DestructionReleasesAWaitingClient)
{
    CUserChannel* ch = Make(2, 1, u"MUX1:");
    ASSERT_FALSE(ch->IsNotReady());
    HANDLE event = ch->commEvent;
    DWORD waited = 0;
    uint64_t releasedAt = 0;
    HANDLE waiter = RunAsync([&] {
        waited = WaitForSingleObject(event, 20000);
        releasedAt = plat::NowMs();
    });
    SleepMs(10);
    const uint64_t deletedAt = plat::NowMs();
    channels_.clear();
    delete ch;
    Join(waiter);
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_LT(releasedAt - deletedAt, 5000u);
    EXPECT_EQ(g_dispatcher.channels[2], nullptr);
}

TEST_F(UserChannelTest, UnnamedChannelLogsAsQuestionMark)
{
    ASSERT_FALSE(Make(4, 1, u"MUX1:")->IsNotReady());
    CUserChannel* second = Make(4, 1, nullptr);
    EXPECT_TRUE(second->IsNotReady());
    EXPECT_EQ(rig_.Logged("MUX: Channel::Init() for ? -> ERROR, dlci already exist ; Time=").size(), 1u)
        << rig_.Dump();
    // The failed channel leaves the live one in its slot.
    channels_.pop_back();
    delete second;
    EXPECT_EQ(static_cast<void*>(g_dispatcher.channels[4]), static_cast<void*>(channels_[0]));
}

}  // namespace
