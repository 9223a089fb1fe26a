// Dispatcher start-up and shutdown against the simulated module, in virtual time:
// the handshake, the speed switch and the drain, the control channel's
// SABM/UA, stop, restart and the stop races.
#include <gtest/gtest.h>

#include "channel/ctrl_channel.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher_rig.h"
#include "golden_frames.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "test_channel.h"

#include <string>
#include <vector>

namespace {

const char kInitOk[] = "MUX: CDispatcher::Init() -> OK ; Time=";
const char kHandshakeOk[] = "MUX: CDispatcher::Init() -> GSM0710 Initialization OK ; Time=";
const char kHandshakeFail[] = "MUX: CDispatcher::Init() -> GSM0710 Initialization Fail ; Time=";
const char kTimeOut[] = "MUX: TimeOutThread(3000) -> Time-out ; Time=";

std::vector<HostFrame> FramesWith(const std::vector<HostFrame>& all, uint8_t dlci, uint8_t control)
{
    std::vector<HostFrame> out;
    for (const auto& f : all)
        if (f.Dlci() == dlci && f.Control() == control) out.push_back(f);
    return out;
}

// The messages in order, reduced to those that tell the start-up's story.
std::vector<std::string> StartUpStory(const std::vector<std::string>& messages)
{
    std::vector<std::string> out;
    for (const auto& m : messages) {
        if (m.find("Chick Module Status") != std::string::npos) continue;
        out.push_back(m.substr(0, m.find("Time=")));
    }
    return out;
}

TEST(DispatcherStartUp, EndToEndWithSplitAnswer)
{
    sim::ModuleSettings module = DispatcherRig::DefaultModule();
    // The answer "\r\nO", then "K\r\n" 30 ms later.
    module.serial.cmuxReply = "\r\nOK\r\n";
    module.serial.splits = {sim::WriteSplit{1, 3, 30}};
    // What the module says right after the switch never reaches the parser.
    module.serial.afterMuxSwitch = {'J', 'U', 'N', 'K'};
    DispatcherRig rig(1, module);

    uint64_t t0 = plat::NowMs();
    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
    uint64_t t1 = plat::NowMs();

    EXPECT_TRUE(g_dispatcher.bRunning);
    ASSERT_NE(g_dispatcher.pCtrlChannel, nullptr);
    EXPECT_FALSE(g_dispatcher.pCtrlChannel->IsNotReady());
    EXPECT_EQ((void*)g_dispatcher.channels[0], (void*)g_dispatcher.pCtrlChannel);

    // The command went out once, at 115200 bit/s; the port is at 460800 now.
    EXPECT_EQ(rig.AtText(), "AT+CMUX=0,0,7\r\n");
    EXPECT_EQ(rig.Modem().LastCmuxHostBaud(), 115200u);
    EXPECT_EQ(rig.Modem().Uart().HostBaud(), 460800u);
    EXPECT_EQ(rig.Lines().ResetsSeen(), 1u);

    // SABM on DLCI 0, exactly one frame from the host.
    auto frames = rig.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].octets, golden::kSabmDlci0);

    // About 2.5 s between the answer and the SABM: 500 ms, the drain, 2000 ms.
    auto ok = rig.Logged(kHandshakeOk);
    ASSERT_EQ(ok.size(), 1u) << rig.Dump();
    long okAt = DispatcherRig::TimeOf(ok[0]);
    EXPECT_GE(frames[0].atMs, (uint64_t)okAt + 2500);
    EXPECT_LE(frames[0].atMs, (uint64_t)okAt + 2502);
    // The answer came in two pieces 30 ms apart: "OK" was found in the second.
    EXPECT_GE((uint64_t)okAt, rig.CmuxAtMs() + 35);
    EXPECT_LE((uint64_t)okAt, rig.CmuxAtMs() + 37);
    bool junkSent = false;
    for (const auto& e : rig.Modem().Record())
        junkSent |= e.direction == sim::Direction::ModuleToHost &&
                    e.octets == std::vector<uint8_t>{'J', 'U', 'N', 'K'};
    EXPECT_TRUE(junkSent);
    EXPECT_TRUE(rig.Logged("0x4a,").empty()) << "drained octets reached the parser";
    EXPECT_TRUE(rig.Logged("0x").empty()) << rig.Dump();

    // Whole start-up: module reset (1800 ms fixed, GSM_RF_OK seen on the
    // fourth poll at 3300 ms), the handshake, 2.5 s, SABM/UA.
    EXPECT_GE(t1 - t0, 5830u);
    EXPECT_LE(t1 - t0, 5860u);

    std::vector<std::string> story = {
        "MUX: CDispatcher::ModuleReset() ; GSM_RF_OK success\r\n",
        "MUX: Trel set DTR Low\r\n",
        "MUX: CDispatcher::Init() -> GSM0710 Initialization OK ; ",
        "MUX: CDispatcher::Init() -> OK ; ",
    };
    EXPECT_EQ(StartUpStory(rig.Log().Messages()), story) << rig.Dump();
    EXPECT_EQ(rig.Logged("Chick Module Status").size(), 1u);
}

TEST(DispatcherStartUp, SilentModuleTimesOutAndStartUpGoesOn)
{
    sim::ModuleSettings module = DispatcherRig::DefaultModule();
    module.serial.answerCmux = false;  // switches to 27.010 without a word
    module.serial.enterMuxWithoutAnswer = true;
    DispatcherRig rig(3, module);

    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();

    auto to = rig.Logged(kTimeOut);
    auto fail = rig.Logged(kHandshakeFail);
    ASSERT_EQ(to.size(), 1u) << rig.Dump();
    ASSERT_EQ(fail.size(), 1u) << rig.Dump();
    long toAt = DispatcherRig::TimeOf(to[0]);
    long failAt = DispatcherRig::TimeOf(fail[0]);
    EXPECT_GE((uint64_t)toAt, rig.CmuxAtMs() + 2999);
    EXPECT_LE((uint64_t)toAt, rig.CmuxAtMs() + 3001);
    EXPECT_EQ(failAt, toAt);
    EXPECT_TRUE(rig.Logged(kHandshakeOk).empty());

    // Start-up went on: 460800, SABM/UA on DLCI 0 about 2.5 s later.
    EXPECT_EQ(rig.Modem().Uart().HostBaud(), 460800u);
    auto sabm = FramesWith(rig.Frames(), 0, 0x3F);
    ASSERT_EQ(sabm.size(), 1u);
    EXPECT_GE(sabm[0].atMs, (uint64_t)failAt + 2500);
    EXPECT_LE(sabm[0].atMs, (uint64_t)failAt + 2502);
    EXPECT_EQ(rig.Logged(kInitOk).size(), 1u);

    // The time-out thread went back to idle: nothing more fires.
    SleepMs(7000);
    EXPECT_EQ(rig.Logged("Time-out").size(), 1u) << rig.Dump();
}

// A port wait that ends with no event while the time-out has not fired
// (Wine's serial port on a pseudo-terminal ends every wait at once; here a
// second thread sets the mask again five times) does not end the exchange:
// the answer that comes later is found, and the time-out never fires.
TEST(DispatcherStartUp, WaitEndedByThePortWithNoEventIsWaitedAgain)
{
    sim::ModuleSettings module = DispatcherRig::DefaultModule();
    module.serial.cmuxReply = "\r\nOK\r\n";
    module.serial.splits = {sim::WriteSplit{1, 3, 1000}};  // "K\r\n" a second later
    DispatcherRig rig(1, module);
    auto poke = [](LPVOID arg) -> DWORD {
        DispatcherRig* r = static_cast<DispatcherRig*>(arg);
        while (r->AtText().empty()) Sleep(10);
        for (int i = 0; i < 5; ++i) {
            Sleep(100);
            SetCommMask(hUART, UART_EVENT_MASK);
        }
        return 0;
    };
    HANDLE poker = CreateThread(nullptr, 0, poke, &rig, 0, nullptr);
    ASSERT_NE(poker, nullptr);
    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
    WaitForSingleObject(poker, INFINITE);
    CloseHandle(poker);

    auto ok = rig.Logged(kHandshakeOk);
    ASSERT_EQ(ok.size(), 1u) << rig.Dump();
    EXPECT_TRUE(rig.Logged(kHandshakeFail).empty()) << rig.Dump();
    EXPECT_GE((uint64_t)DispatcherRig::TimeOf(ok[0]), rig.CmuxAtMs() + 1000);
    SleepMs(4000);
    EXPECT_TRUE(rig.Logged("Time-out").empty()) << rig.Dump();
}

TEST(DispatcherStartUp, ControlChannelNotConnectingFailsAndTearsDown)
{
    sim::ModuleSettings module = DispatcherRig::DefaultModule();
    module.serial.noUaDlcis = 1;  // SABM on DLCI 0 gets no answer
    DispatcherRig rig(5, module);

    EXPECT_FALSE(g_dispatcher.Init());
    EXPECT_EQ(rig.Logged("MUX: CChannel::SendSABM() for Ctrl -> ERROR, time out").size(), 1u)
        << rig.Dump();
    EXPECT_EQ(rig.Logged("MUX: CDispatcher::Init() -> Fail ; Time=").size(), 1u);
    // Torn down: port closed, time-out thread ended, ring freed.
    EXPECT_FALSE(g_dispatcher.bRunning);
    EXPECT_EQ(hUART, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(rig.Modem().Uart().PortOpen());
    EXPECT_EQ(g_dispatcher.hTimeOutThread, nullptr);
    EXPECT_EQ(pRingNodes, nullptr);
    EXPECT_EQ(g_dispatcher.pCtrlChannel, nullptr);
    EXPECT_EQ(g_dispatcher.pSendBuf, nullptr);
}

// Two callers find the multiplexer down at the same time (a restart by I/O
// control and a channel's start-up): the second waits for the first start
// and finds it running; the module is reset and switched once, one reader.
TEST(DispatcherStartUp, SecondStartWhileStartingFindsItRunning)
{
    DispatcherRig rig(9);
    BOOL second = FALSE;
    HANDLE t = RunAsync([&second] {
        SleepMs(100);  // well inside the first start
        second = g_dispatcher.Init();
    });
    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
    HANDLE reader = g_dispatcher.hGetDataThread;
    CCtrlChannel* ctrl = g_dispatcher.pCtrlChannel;
    Join(t);
    EXPECT_TRUE(second);
    EXPECT_EQ(rig.Lines().ResetsSeen(), 1u);
    EXPECT_EQ(rig.Modem().CmuxCommands(), 1u);
    EXPECT_EQ(FramesWith(rig.Frames(), 0, 0x3F).size(), 1u);
    EXPECT_EQ(rig.Logged(kInitOk).size(), 1u) << rig.Dump();
    EXPECT_EQ(g_dispatcher.hGetDataThread, reader);
    EXPECT_EQ(g_dispatcher.pCtrlChannel, ctrl);
}

// A channel constructed while Init runs (another instance's start-up) finds
// the dispatcher not yet running and waits for the start lock in Reset; once
// it gets the lock the multiplexer is up and must not be forgotten.
TEST(DispatcherStartUp, ChannelConstructedDuringStartKeepsTheNewMultiplexer)
{
    for (uint64_t seed : {11u, 12u, 13u}) {
        SCOPED_TRACE(seed);
        DispatcherRig rig(seed);
        HANDLE t = RunAsync([] {
            SleepMs(100);  // well inside the start
            CChannel late(5, NULL, NULL);
        });
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
        CCtrlChannel* ctrl = g_dispatcher.pCtrlChannel;
        HANDLE reader = g_dispatcher.hGetDataThread;
        HANDLE port = hUART;
        Join(t);
        EXPECT_TRUE(g_dispatcher.bRunning);
        ASSERT_NE(ctrl, nullptr);
        EXPECT_EQ(g_dispatcher.pCtrlChannel, ctrl);
        EXPECT_EQ(g_dispatcher.channels[0], static_cast<CChannel*>(ctrl));
        EXPECT_EQ(g_dispatcher.hGetDataThread, reader);
        EXPECT_EQ(hUART, port);
        EXPECT_NE(hUART, INVALID_HANDLE_VALUE);
    }
}

// The command is the system text "AT+CMUX=0,0,%d\r\n" with the speed code,
// whatever its number of digits.
TEST(DispatcherStartUp, CmuxCommandIsTheSystemTextWithTheSpeedCode)
{
    BYTE buf[32];
    DWORD n = FormatCmuxCommand(buf, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "AT+CMUX=0,0,7\r\n");
    n = FormatCmuxCommand(buf, 12);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "AT+CMUX=0,0,12\r\n");
    n = FormatCmuxCommand(buf, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "AT+CMUX=0,0,0\r\n");
}

// A module off the phone's board: its configuration gives the whole
// command (here the frame size N1 of the driver's longest frames and port
// speed 5) and the speed after the switch; without it, or with a value the
// driver cannot send, the phone's command and 460800 bit/s apply.
TEST(DispatcherStartUp, ConfiguredCmuxCommandAndSpeedReplaceThePhones)
{
    struct Case {
        std::string values;
        const char* command;
        unsigned baud;
        bool unusableLogged;
    };
    const std::string tooLong(121, 'A');
    const Case cases[] = {
        {"\"CmuxCommand\"=\"AT+CMUX=0,0,5,127\"\n\"CmuxBaudRate\"=dword:1c200\n",
         "AT+CMUX=0,0,5,127\r\n", 115200, false},
        {"\"CmuxBaudRate\"=dword:0\n", "AT+CMUX=0,0,7\r\n", 460800, false},
        {"\"CmuxCommand\"=\"\"\n", "AT+CMUX=0,0,7\r\n", 460800, false},
        {"\"CmuxCommand\"=dword:5\n", "AT+CMUX=0,0,7\r\n", 460800, true},
        {("\"CmuxCommand\"=\"" + tooLong + "\"\n").c_str(), "AT+CMUX=0,0,7\r\n", 460800, true},
    };
    for (const Case& c : cases) {
        plat::ClearRegistry();
        std::string error;
        ASSERT_TRUE(plat::LoadRegText(std::string("[HKEY_LOCAL_MACHINE\\Software\\Ovadrel]\n") +
                                          c.values,
                                      "cmux.reg", &error))
            << error;
        {
            DispatcherRig rig(3);
            ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
            EXPECT_EQ(rig.AtText(), c.command) << c.values;
            EXPECT_EQ(rig.Modem().Uart().HostBaud(), c.baud) << c.values;
            EXPECT_EQ(rig.Logged("CmuxCommand unusable, default used").size(),
                      c.unusableLogged ? 1u : 0u)
                << c.values;
            // The module took the command: DLCI 0 is up at the new speed.
            EXPECT_EQ(rig.Logged("GSM0710 Initialization OK").size(), 1u) << rig.Dump();
            EXPECT_FALSE(g_dispatcher.pCtrlChannel->IsNotReady());
        }
    }
    plat::ClearRegistry();
}

TEST(DispatcherStop, StopTwiceAndDestroyAfterStop)
{
    DispatcherRig rig(7);
    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
    HANDLE port = hUART;
    HANDLE timeOutThread = g_dispatcher.hTimeOutThread;
    FFUARTDATA* nodes = pRingNodes;

    g_dispatcher.Stop();
    EXPECT_FALSE(g_dispatcher.bRunning);
    EXPECT_TRUE(g_dispatcher.bStopThreads);
    EXPECT_EQ(g_dispatcher.pCtrlChannel, nullptr);
    EXPECT_EQ(g_dispatcher.pSendBuf, nullptr);
    EXPECT_EQ(g_dispatcher.hGetDataThread, nullptr);
    EXPECT_EQ(g_dispatcher.hParseDataThread, nullptr);
    EXPECT_EQ(g_dispatcher.hRFOKPinThread, nullptr);
    EXPECT_EQ(g_dispatcher.hSetDTRThread, nullptr);
    EXPECT_EQ(g_dispatcher.hGetDataStart, nullptr);
    EXPECT_EQ(g_dispatcher.hParseDataStart, nullptr);
    // The port, the time-out thread and the nodes stay.
    EXPECT_EQ(hUART, port);
    EXPECT_EQ(g_dispatcher.hTimeOutThread, timeOutThread);
    EXPECT_EQ(pRingNodes, nodes);
    EXPECT_TRUE(rig.Modem().Uart().PortOpen());
    // The control channel said goodbye.
    EXPECT_EQ(FramesWith(rig.Frames(), 0, 0x53).size(), 1u);

    size_t frames = rig.Frames().size();
    size_t logged = rig.Log().Messages().size();
    uint64_t t = plat::NowMs();
    g_dispatcher.Stop();
    g_dispatcher.Destroy();
    EXPECT_EQ(plat::NowMs(), t);
    EXPECT_EQ(rig.Frames().size(), frames);
    EXPECT_EQ(rig.Log().Messages().size(), logged);
    EXPECT_EQ(hUART, port);
    EXPECT_EQ(g_dispatcher.hTimeOutThread, timeOutThread);
    EXPECT_EQ(pRingNodes, nodes);
}

TEST(DispatcherStop, RestartReusesPortAndTimeOutThread)
{
    DispatcherRig rig(11);
    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
    HANDLE port = hUART;
    HANDLE timeOutThread = g_dispatcher.hTimeOutThread;
    g_dispatcher.Stop();

    // The restart by I/O control: Init again without a channel constructor.
    rig.Modem().ChangeSettings([](sim::SerialSettings& s) {
        s.answerCmux = false;
        s.enterMuxWithoutAnswer = true;
    });
    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
    EXPECT_EQ(hUART, port);
    EXPECT_EQ(g_dispatcher.hTimeOutThread, timeOutThread);
    EXPECT_EQ(rig.Lines().ResetsSeen(), 2u);
    EXPECT_EQ(rig.Modem().CmuxCommands(), 2u);
    EXPECT_EQ(rig.Modem().LastCmuxHostBaud(), 115200u);
    // One time-out thread: the silent second handshake times out once.
    EXPECT_EQ(rig.Logged(kTimeOut).size(), 1u) << rig.Dump();
    EXPECT_EQ(rig.Logged(kInitOk).size(), 2u);
    EXPECT_EQ(FramesWith(rig.Frames(), 0, 0x3F).size(), 2u);
    ASSERT_NE(g_dispatcher.pCtrlChannel, nullptr);

    // A channel constructed while stopped resets the dispatcher; the next
    // start opens the port anew (the earlier one was given back).
    g_dispatcher.Stop();
    g_dispatcher.Reset();
    EXPECT_EQ(hUART, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(rig.Modem().Uart().PortOpen());
    ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
    EXPECT_TRUE(rig.Modem().Uart().PortOpen());
    EXPECT_EQ(rig.Logged(kInitOk).size(), 3u);
}

// Octets waiting in the port: nobody reads while the dispatcher is stopped.
DWORD PortQueue()
{
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof(stat));
    ClearCommError(hUART, &errors, &stat);
    return stat.cbInQue;
}

TEST(DispatcherStop, RestartWhileDataIsArriving)
{
    for (uint64_t seed : {21u, 22u, 23u, 24u, 25u, 26u}) {
        SCOPED_TRACE(seed);
        bool down = false;  // outlives the modem that reads it
        DispatcherRig rig(seed);
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();

        // The modem keeps asking for the status of DLCI 2 (the control
        // channel answers every one) and sends frames for a DLCI nobody has.
        // (While the dispatcher is down only the latter: a burst of stale
        // commands after the restart would crowd the control channel's
        // five-entry queue and push the UA of its SABM out.)
        rig.Modem().StartTraffic(4, [&down](unsigned i) {
            return i % 2 == 0 && !down
                       ? ModemFrame(Address(0, true), 0xEF, {0xE3, 0x05, 0x0B, 0x0D})
                       : ModemFrame(Address(5, true), 0xEF, {0x41, 0x42});
        });
        SleepMs(100 + (uint32_t)(seed % 7) * 13);
        size_t answered = FramesWith(rig.Frames(), 0, 0xEF).size();
        EXPECT_GT(answered, 5u);

        down = true;
        g_dispatcher.Stop();
        uint64_t stoppedAt = plat::NowMs();
        // Nothing reads the port and nothing answers while stopped: what the
        // modem sent during the stop fills the port up.
        EXPECT_EQ(PortQueue(), rig.Modem().Uart().FifoCapacity());
        for (const auto& f : rig.Frames()) {
            if (f.atMs > stoppedAt) ADD_FAILURE() << "frame from a stopped dispatcher at " << f.atMs;
        }

        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
        down = false;
        uint64_t restartedAt = plat::NowMs();
        SleepMs(300);
        // The new reader and parser took the traffic up again.
        size_t after = 0;
        for (const auto& f : FramesWith(rig.Frames(), 0, 0xEF))
            if (f.atMs > restartedAt) after++;
        EXPECT_GT(after, 10u);
        g_dispatcher.Stop();
        rig.Modem().StopTraffic();
    }
}

TEST(DispatcherStop, ModemDisconnectsControlChannel)
{
    for (uint64_t seed : {31u, 32u, 33u}) {
        SCOPED_TRACE(seed);
        DispatcherRig rig(seed);
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
        rig.Modem().SendDisc(0);
        // Stop runs on the control channel's own thread.
        ASSERT_TRUE(rig.WaitFor([] { return g_dispatcher.pCtrlChannel == nullptr; }, 10000))
            << rig.Dump();
        EXPECT_FALSE(g_dispatcher.bRunning);
        EXPECT_EQ(g_dispatcher.hGetDataThread, nullptr);
        // UA for the modem's DISC, and no DISC of our own.
        EXPECT_EQ(FramesWith(rig.Frames(), 0, 0x73).size(), 1u);
        EXPECT_TRUE(FramesWith(rig.Frames(), 0, 0x53).empty());
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
        EXPECT_EQ(FramesWith(rig.Frames(), 0, 0x3F).size(), 2u);
    }
}

TEST(DispatcherStop, CloseDownRacesWithStopFromAnotherThread)
{
    for (uint64_t seed : {41u, 42u, 43u, 44u, 45u, 46u, 47u, 48u}) {
        SCOPED_TRACE(seed);
        DispatcherRig rig(seed);
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
        // CLD on DLCI 0; the I/O control's Stop comes at about the same time.
        rig.Modem().SendCld();
        SleepMs((uint32_t)(seed % 4));
        g_dispatcher.Stop();
        EXPECT_FALSE(g_dispatcher.bRunning);
        ASSERT_TRUE(rig.WaitFor([] { return g_dispatcher.pCtrlChannel == nullptr; }, 10000));
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
        EXPECT_TRUE(g_dispatcher.bRunning);
    }
}

// Senders of control commands (MSC queries, SNC) on several threads while
// the modem disconnects DLCI 0: the control thread's Stop deletes the control
// channel under senders that found it a moment before. Each call must either
// get its answer or fail; none may reach the deleted channel (the sanitizer
// build reports that) or hang.
TEST(DispatcherStop, ControlCommandsRacingWithTheModemsDisc)
{
    for (uint64_t seed : {51u, 52u, 53u, 54u, 55u, 56u, 57u, 58u}) {
        SCOPED_TRACE(seed);
        DispatcherRig rig(seed);
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();

        const int kSenders = 3;
        int answered[kSenders] = {0, 0, 0};
        int failed[kSenders] = {0, 0, 0};
        std::vector<HANDLE> threads;
        for (int i = 0; i < kSenders; i++) {
            threads.push_back(RunAsync([i, &answered, &failed] {
                // Until the multiplexer has ended and a command fails at once.
                for (int n = 0; n < 200; n++) {
                    DWORD status = 0xFFFF;
                    BOOL ok = i == 2 ? g_dispatcher.NegotiateService(1)
                                     : g_dispatcher.QueryModemStatus((BYTE)(1 + i), &status);
                    if (ok) {
                        answered[i]++;
                        if (i != 2) {
                            EXPECT_EQ(status, 0x30u);
                        }
                    } else {
                        failed[i]++;
                        if (i != 2) {
                            EXPECT_EQ(status, 0u);
                        }
                        if (!g_dispatcher.bRunning) break;
                    }
                }
            }));
        }
        SleepMs(30 + (uint32_t)(seed % 5) * 3);
        rig.Modem().SendDisc(0);
        uint64_t discAt = plat::NowMs();
        for (HANDLE t : threads) Join(t);
        // Released by the teardown, not by their 3000 ms time-out.
        EXPECT_LT(plat::NowMs() - discAt, 3000u);
        // Commands were going through when the DISC came, and every sender
        // ended on a failure once the multiplexer was down.
        EXPECT_GT(answered[0] + answered[1] + answered[2], 0);
        for (int i = 0; i < kSenders; i++) EXPECT_GT(failed[i], 0) << "sender " << i;
        ASSERT_TRUE(rig.WaitFor([] { return g_dispatcher.pCtrlChannel == nullptr; }, 10000))
            << rig.Dump();
        EXPECT_FALSE(g_dispatcher.bRunning);
        EXPECT_EQ(g_dispatcher.hGetDataThread, nullptr);
        DWORD status = 0xFFFF;
        EXPECT_FALSE(g_dispatcher.QueryModemStatus(1, &status));
        ASSERT_TRUE(g_dispatcher.Init()) << rig.Dump();
        EXPECT_TRUE(g_dispatcher.QueryModemStatus(1, &status)) << rig.Dump();
    }
}

}  // namespace
