// MUX_IOControl on running instances against the simulated module, in
// virtual time: the event wait and its mask (data already there, data
// arriving, a mask change from another thread, mask 0, short buffers), the
// plain serial codes and their buffer rules, the usability gate with the
// power codes exempt, and the release of a waiting client when its channel
// is stopped or destroyed. Concurrent cases run over several seeds.
#include <gtest/gtest.h>

#include "channel/user_channel.h"
#include "dispatcher/dispatcher.h"
#include "driver_rig.h"
#include "ioctl_calls.h"
#include "platform/host.h"
#include "test_channel.h"

#include <string>
#include <vector>

namespace {

void FromModule(DriverRig& rig, DWORD_PTR open, int dlci, const std::string& s)
{
    const DWORD before = Channel(open)->GetRxCount();
    rig.Modem().SendUih(dlci, std::vector<uint8_t>(s.begin(), s.end()));
    ASSERT_TRUE(rig.D().WaitFor([&] { return Channel(open)->GetRxCount() == before + s.size(); }, 1000));
}

std::string ReadAll(DWORD_PTR open)
{
    char buf[256];
    DWORD n = MUX_Read(open, buf, sizeof(buf));
    return n == 0xFFFFFFFFu ? std::string() : std::string(buf, n);
}

TEST(EventWait, DataAlreadyBufferedReturnsAtOnce)
{
    DriverRig rig(1);
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    FromModule(rig, rig.open[1], 1, "OK");
    ASSERT_TRUE(rig.D().WaitFor([&] { return Channel(rig.open[1])->commEvents != 0; }, 1000));
    const uint64_t before = plat::NowMs();
    DWORD events = 0;
    Result r = Wait(rig.open[1], &events);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(plat::NowMs(), before);
    EXPECT_EQ(ReadAll(rig.open[1]), "OK");
}

TEST(EventWait, EmptyBufferWaitsForAFrame)
{
    DriverRig rig(1);
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[3], EV_RXCHAR).ok);
    // An event of data already read does not end the next wait.
    FromModule(rig, rig.open[3], 3, "old");
    EXPECT_EQ(ReadAll(rig.open[3]), "old");
    Result r;
    DWORD events = 0;
    uint64_t returnedAt = 0;
    HANDLE waiter = RunAsync([&] {
        r = Wait(rig.open[3], &events);
        returnedAt = plat::NowMs();
    });
    SleepMs(200);
    EXPECT_EQ(returnedAt, 0u);
    const uint64_t sentAt = plat::NowMs();
    rig.Modem().SendUih(3, {'R', 'I', 'N', 'G'});
    Join(waiter);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_GE(returnedAt, sentAt);
    EXPECT_LT(returnedAt - sentAt, 100u);
    EXPECT_EQ(ReadAll(rig.open[3]), "RING");
}

TEST(EventWait, MaskZeroAndShortBufferFailAtOnce)
{
    DriverRig rig(1);
    rig.StartThree();
    // The mask as set is read back.
    DWORD mask = 0;
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR | 0x80).ok);
    Result g = Control(rig.open[1], IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof(mask));
    EXPECT_TRUE(g.ok);
    EXPECT_EQ(g.bytes, 4u);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | 0x80));

    ASSERT_TRUE(SetMask(rig.open[1], 0).ok);
    FromModule(rig, rig.open[1], 1, "data");
    DWORD events = 0;
    Result r = Wait(rig.open[1], &events);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(events, 0u);
    EXPECT_EQ(r.error, 0xBEEFu);  // untouched
    EXPECT_EQ(rig.D().Logged("MUX: WAIT_ON_MASK for MUX1: -> Wait event mask is cleared ; Time=").size(), 1u);

    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    DWORD shortOut = 0x5A5A5A5A;
    r = Control(rig.open[1], IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &shortOut, 2);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(shortOut, 0x5A5A5A5Au);  // nothing written past two bytes
    EXPECT_EQ(rig.D().Logged("MUX: WAIT_ON_MASK for MUX1: -> Invalid parameter ; Time=").size(), 1u);
    // Without a count pointer, likewise.
    SetLastError(0);
    EXPECT_FALSE(MUX_IOControl(rig.open[1], IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                               reinterpret_cast<PBYTE>(&events), 4, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(EventWait, WaitOnADisconnectedDlciFails)
{
    DriverRig rig(1);
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[3], EV_RXCHAR).ok);
    rig.Modem().SendDisc(3);
    ASSERT_TRUE(rig.D().WaitFor([&] { return Channel(rig.open[3])->connected == 0; }, 1000));
    DWORD events = 0;
    // The gate turns every code away first.
    Result r = Wait(rig.open[3], &events);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(rig.D().Logged("MUX: MUX_IOControl() for MUX3: -> Channel not usable ; Time=").size(), 1u);
}

class EventWaitSeeds : public ::testing::TestWithParam<uint64_t> {};

// A client waiting on a thread of its own, for a pause that depends on the
// seed before the test goes on.
struct PendingWait {
    PendingWait(DWORD_PTR open, uint64_t seed)
    {
        thread = RunAsync([this, open] {
            r = Wait(open, &events);
            returned = true;
        });
        SleepMs(1 + static_cast<uint32_t>(seed % 5) * 20);
    }
    Result r;
    DWORD events = 0;
    bool returned = false;
    HANDLE thread = NULL;
};

// The modem disconnects the DLCI while a client waits: the wait ends with
// ERROR_NOT_READY instead of lasting until the instance is removed (no data
// can come, and the gate refuses the client's own mask change).
TEST_P(EventWaitSeeds, ModemDiscReleasesAWaitingClient)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[3], EV_RXCHAR).ok);
    PendingWait wait(rig.open[3], GetParam());
    rig.Modem().SendDisc(3);
    EXPECT_TRUE(rig.D().WaitFor([&] { return wait.returned; }, 1000));
    EXPECT_FALSE(SetMask(rig.open[3], EV_RXCHAR).ok);  // the gate: no way out but the release
    if (!wait.returned) rig.Deinit(rig.device[3]);
    Join(wait.thread);
    EXPECT_FALSE(wait.r.ok);
    EXPECT_EQ(wait.r.error, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(rig.D().Logged("MUX: WAIT_ON_MASK for MUX3: -> State is DISCONNECTED ; Time=").size(), 1u);
}

// A mask change from a second thread ends a pending wait with no events.
TEST_P(EventWaitSeeds, MaskChangeEndsAPendingWait)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[2], EV_RXCHAR).ok);
    PendingWait wait(rig.open[2], GetParam());
    EXPECT_FALSE(wait.returned);
    ASSERT_TRUE(SetMask(rig.open[2], EV_RXCHAR | 0x04).ok);
    Join(wait.thread);
    EXPECT_TRUE(wait.r.ok);
    EXPECT_EQ(wait.r.bytes, 4u);
    EXPECT_EQ(wait.events, 0u);
}

// The multiplexer stops (as before a re-initialisation) while a client
// waits: the wait ends with ERROR_NOT_READY instead of lasting for ever.
TEST_P(EventWaitSeeds, StopReleasesAWaitingClient)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    Result r;
    DWORD events = 0;
    HANDLE waiter = RunAsync([&] { r = Wait(rig.open[1], &events); });
    SleepMs(static_cast<uint32_t>(GetParam() % 4) * 3);
    g_dispatcher.Stop();
    Join(waiter);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(rig.D().Logged("MUX: WAIT_ON_MASK for MUX1: -> Connection have been terminated ; Time=").size() +
                  rig.D().Logged("MUX: MUX_IOControl() for MUX1: -> Channel not usable ; Time=").size(),
              1u)
        << rig.D().Dump();

    // Brought back by an open, the port waits for new data again.
    ASSERT_EQ(MUX_Open(rig.device[1], 0, 0), rig.open[1]);
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    HANDLE again = RunAsync([&] { r = Wait(rig.open[1], &events); });
    SleepMs(50);
    rig.Modem().SendUih(1, {'x'});
    Join(again);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
}

// The instance is removed while its client waits: the wait returns, and the
// channel is freed only after the client is out (the sanitizer build sees
// any use after the free).
TEST_P(EventWaitSeeds, RemovingTheInstanceReleasesAWaitingClient)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[3], EV_RXCHAR).ok);
    Result r;
    DWORD events = 0xAA;
    HANDLE waiter = RunAsync([&] { r = Wait(rig.open[3], &events); });
    SleepMs(static_cast<uint32_t>(GetParam() % 4) * 3);
    EXPECT_TRUE(rig.Deinit(rig.device[3]));
    Join(waiter);
    EXPECT_EQ(events, 0u);
    if (r.ok) {
        EXPECT_EQ(r.bytes, 4u);
    } else {
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NOT_READY));
    }
}

// A client that waits, reads what came and waits again gets every frame,
// however the frames fall against its wait: a frame that arrives between its
// look at the events and the start of its wait must still release it.
TEST_P(EventWaitSeeds, AClientThatWaitsAndReadsGetsEveryFrame)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    DriverRig rig(GetParam());
    rig.StartThree();
    ASSERT_TRUE(SetMask(rig.open[1], EV_RXCHAR).ok);
    const size_t kFrames = 60;
    std::string got;
    bool ended = false;
    HANDLE client = RunAsync([&] {
        DWORD events = 0;
        while (got.size() < kFrames && Wait(rig.open[1], &events).ok) got += ReadAll(rig.open[1]);
        ended = true;
    });
    std::string sent;
    for (size_t i = 0; i < kFrames; ++i) {
        sent += static_cast<char>('A' + i % 26);
        rig.Modem().SendUih(1, {static_cast<uint8_t>(sent.back())});
        SleepMs(static_cast<uint32_t>((GetParam() * 7 + i * 13) % 4));
    }
    EXPECT_TRUE(rig.D().WaitFor([&] { return ended; }, 2000)) << got.size() << " of " << kFrames;
    if (!ended) rig.Deinit(rig.device[1]);
    Join(client);
    EXPECT_EQ(got, sent);
}

INSTANTIATE_TEST_SUITE_P(Seeds, EventWaitSeeds, ::testing::Range<uint64_t>(1, 21));

TEST(SerialCodes, DcbPropertiesAndTimeouts)
{
    DriverRig rig(1);
    rig.StartThree();
    DCB dcb;
    memset(&dcb, 0x77, sizeof(dcb));
    Result r = Control(rig.open[2], IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof(dcb));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 28u);
    const std::vector<uint8_t> zero(28, 0);
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&dcb), reinterpret_cast<uint8_t*>(&dcb) + 28),
              zero);

    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = 115200;
    r = Control(rig.open[2], IOCTL_SERIAL_SET_DCB, &dcb, sizeof(dcb), nullptr, 0);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
    DCB back;
    ASSERT_TRUE(Control(rig.open[2], IOCTL_SERIAL_GET_DCB, nullptr, 0, &back, sizeof(back)).ok);
    EXPECT_EQ(memcmp(&back, &dcb, sizeof(dcb)), 0);

    COMMPROP prop;
    memset(&prop, 0x55, sizeof(prop));
    r = Control(rig.open[2], IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &prop, sizeof(prop));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 64u);
    EXPECT_EQ(prop.wPacketLength, 0xFFFF);
    EXPECT_EQ(prop.wPacketVersion, 0x1212);
    EXPECT_EQ(prop.dwServiceMask, 1u);
    EXPECT_EQ(prop.dwReserved1, 0u);
    EXPECT_EQ(prop.dwMaxTxQueue, 127u);
    EXPECT_EQ(prop.dwMaxRxQueue, 127u);
    EXPECT_EQ(prop.dwMaxBaud, 115200u);
    EXPECT_EQ(prop.dwProvSubType, 1u);
    EXPECT_EQ(prop.dwProvCapabilities, 0xC7u);
    EXPECT_EQ(prop.dwSettableParams, 0u);
    EXPECT_EQ(prop.dwSettableBaud, 115200u);
    EXPECT_EQ(prop.wSettableData, 8);
    EXPECT_EQ(prop.wSettableStopParity, 0x0101);
    EXPECT_EQ(prop.dwCurrentTxQueue, 0u);
    EXPECT_EQ(prop.dwProvSpec2, 0u);

    COMMTIMEOUTS to = {1, 2, 3, 4, 5};
    EXPECT_TRUE(Control(rig.open[2], IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof(to), nullptr, 0).ok);
    COMMTIMEOUTS toBack = {};
    r = Control(rig.open[2], IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &toBack, sizeof(toBack));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 20u);
    EXPECT_EQ(memcmp(&to, &toBack, sizeof(to)), 0);
    // The settings outlive a restart of the multiplexer.
    g_dispatcher.Stop();
    ASSERT_EQ(MUX_Open(rig.device[2], 0, 0), rig.open[2]);
    ASSERT_TRUE(Control(rig.open[2], IOCTL_SERIAL_GET_DCB, nullptr, 0, &back, sizeof(back)).ok);
    EXPECT_EQ(back.BaudRate, 115200u);
}

TEST(SerialCodes, BufferRules)
{
    DriverRig rig(1);
    rig.StartThree();
    struct Case {
        DWORD code;
        bool input;
        DWORD need;
    } cases[] = {
        {IOCTL_SERIAL_GET_WAIT_MASK, false, 4},  {IOCTL_SERIAL_SET_WAIT_MASK, true, 4},
        {IOCTL_SERIAL_GET_COMMSTATUS, false, 16}, {IOCTL_SERIAL_GET_MODEMSTATUS, false, 4},
        {IOCTL_SERIAL_GET_PROPERTIES, false, 64}, {IOCTL_SERIAL_SET_TIMEOUTS, true, 20},
        {IOCTL_SERIAL_GET_TIMEOUTS, false, 20},  {IOCTL_SERIAL_GET_DCB, false, 28},
        {IOCTL_SERIAL_SET_DCB, true, 28},
    };
    uint8_t buf[80];
    const size_t logLines = rig.D().Logged("MUX: ").size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        memset(buf, 0xEE, sizeof(buf));
        for (const DWORD length : {c.need - 1, DWORD(0)}) {
            Result r = c.input ? Control(rig.open[1], c.code, buf, length, nullptr, 0)
                               : Control(rig.open[1], c.code, nullptr, 0, buf, length);
            EXPECT_FALSE(r.ok) << length;
            EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << length;
            EXPECT_EQ(r.bytes, 0u) << length;
        }
        if (!c.input) {
            EXPECT_EQ(buf[0], 0xEE);  // nothing written into a short buffer
            SetLastError(0);
            EXPECT_FALSE(MUX_IOControl(rig.open[1], c.code, nullptr, 0, buf, c.need, nullptr));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        } else {
            const Result r = Control(rig.open[1], c.code, nullptr, c.need, nullptr, 0);
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        }
    }
    EXPECT_EQ(rig.D().Logged("MUX: ").size(), logLines);  // no log line for any of them

    // A length of 0xFFFFFFFF over a buffer of exactly the layout's size: the
    // driver touches the layout's octets only (the sanitizer build reports
    // any access past the allocation).
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        if (c.code == IOCTL_SERIAL_GET_MODEMSTATUS) continue;  // asks the module; ModemStatus below
        std::vector<uint8_t> exact(c.need, 0);
        Result r = c.input ? Control(rig.open[1], c.code, exact.data(), 0xFFFFFFFFu, nullptr, 0)
                           : Control(rig.open[1], c.code, nullptr, 0, exact.data(), 0xFFFFFFFFu);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.bytes, c.input ? 0u : c.need);
    }

    FromModule(rig, rig.open[1], 1, "12345");
    SERIAL_DEV_STATUS st;
    memset(&st, 0xEE, sizeof(st));
    Result r = Control(rig.open[1], IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof(st));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 16u);
    EXPECT_EQ(st.Errors, 0u);
    EXPECT_EQ(st.ComStat.cbInQue, 5u);
    EXPECT_EQ(st.ComStat.cbOutQue, 0u);
}

TEST(SerialCodes, UnsupportedNothingAndInvalid)
{
    DriverRig rig(1);
    rig.StartThree();
    const DWORD unsupported[] = {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_XOFF,
                                 IOCTL_SERIAL_SET_XON,      IOCTL_SERIAL_PURGE,         IOCTL_SERIAL_SET_QUEUE_SIZE,
                                 IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_ENABLE_IR,   IOCTL_SERIAL_DISABLE_IR};
    for (DWORD code : unsupported) {
        Result r = Control(rig.open[2], code, nullptr, 0, nullptr, 0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        char text[80];
        std::snprintf(text, sizeof(text), "MUX: Unsupported MUX_IOControl(0x%x) for MUX2: ; Time=", code);
        EXPECT_EQ(rig.D().Logged(text).size(), 1u) << text;
    }
    const DWORD nothing[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
                             IOCTL_SERIAL_CLR_RTS};
    const size_t frames = rig.D().Frames().size();
    for (DWORD code : nothing) {
        Result r = Control(rig.open[2], code, nullptr, 0, nullptr, 0);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.bytes, 0u);
    }
    EXPECT_EQ(rig.D().Frames().size(), frames);  // nothing reaches the module
    const DWORD invalid[] = {IOCTL_POWER_SET, 0x001B0060, 0x07100010, 0};
    for (DWORD code : invalid) {
        Result r = Control(rig.open[2], code, nullptr, 0, nullptr, 0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        char text[80];
        std::snprintf(text, sizeof(text), "MUX: Invalid IOControl(0x%x) for MUX2: ; Time=", code);
        EXPECT_EQ(rig.D().Logged(text).size(), 1u) << text;
    }
    // The reserved code does nothing at all.
    const size_t logLines = rig.D().Logged("MUX: ").size();
    Result r = Control(rig.open[2], IOCTL_MUX_RESERVED, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 0xBEEFu);
    EXPECT_EQ(rig.D().Logged("MUX: ").size(), logLines);
}

// On a channel that is not usable every code is turned away as not ready,
// except the power manager's, which are invalid.
TEST(SerialCodes, GateExemptsOnlyThePowerCodes)
{
    DriverRig rig(1);
    rig.StartThree();
    g_dispatcher.Stop();
    const DWORD power[] = {IOCTL_POWER_CAPABILITIES, IOCTL_POWER_GET, IOCTL_POWER_SET, IOCTL_POWER_QUERY,
                           IOCTL_REGISTER_POWER_RELATIONSHIP};
    for (DWORD code : power) {
        Result r = Control(rig.open[1], code, nullptr, 0, nullptr, 0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(r.bytes, 0u);
        char text[80];
        std::snprintf(text, sizeof(text), "MUX: Invalid IOControl(0x%x) for MUX1: ; Time=", code);
        EXPECT_EQ(rig.D().Logged(text).size(), 1u) << text;
    }
    EXPECT_TRUE(rig.D().Logged("MUX: MUX_IOControl() for MUX1: -> Channel not usable").empty());
    const DWORD others[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_PURGE, IOCTL_MUX_RESERVED, 0x12345678};
    for (DWORD code : others) {
        Result r = Control(rig.open[1], code, nullptr, 0, nullptr, 0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NOT_READY));
    }
    EXPECT_EQ(rig.D().Logged("MUX: MUX_IOControl() for MUX1: -> Channel not usable ; Time=").size(), 4u);
    EXPECT_TRUE(rig.D().Logged("Unsupported").empty());
}

TEST(ModemStatus, BitsFromTheMscResponse)
{
    sim::ModuleSettings module = DispatcherRig::DefaultModule();
    module.serial.v24ForDlci[2] = 0x89;  // DV, RTR, EA
    module.serial.v24ForDlci[3] = 0x4D;  // IC, RTC, RTR, EA
    DriverRig rig(1, module);
    rig.StartThree();
    DWORD status = 0xFFFF;
    Result r = Control(rig.open[2], IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(status, static_cast<DWORD>(MS_RLSD_ON | MS_CTS_ON));
    r = Control(rig.open[3], IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(status, 0x70u);  // RING, DSR, CTS
    r = Control(rig.open[1], IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(status, 0x30u);  // the default 0x0D: DSR and CTS

    // No answer: FALSE after the command's time-out, word 0, last error kept.
    rig.Modem().ChangeSettings([](sim::SerialSettings& s) { s.answerMsc = false; });
    const uint64_t before = plat::NowMs();
    status = 0xFFFF;
    r = Control(rig.open[2], IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(r.error, 0xBEEFu);
    EXPECT_GE(plat::NowMs() - before, 3000u);
}

}  // namespace
