// The control channel's message handling fed from the fuzzer, in a simulated
// world of its own per input, so that its threads run the same way every
// time an input is replayed. The control channel is connected (its SABM
// answered), a user channel on DLCI 2 is connected for the modem's flow
// control to act on, and, as the first octet asks, a command sender (SNC,
// MSC or both, for the DLCI in its upper six bits) waits for a response
// while the modem's frames arrive.
//
// The rest of the input is a sequence of pieces (PieceReader): a length
// octet below 0x80 is the information field of a UIH frame on DLCI 0 of that
// many octets (messages of any length, cut anywhere, responses awaited or
// not); 0x80 and above stands for a frame without information on DLCI 0
// (SABM, DISC, UA or DM by its two low bits), or with 0x40 set for a pause
// of a second, long enough for a sender's time-out to come nearer.
#include "fuzz_common.h"

#include "channel/ctrl_channel.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher/lifecycle.h"
#include "platform/host.h"
#include "test_channel.h"

#include <cstddef>
#include <cstdint>
#include <functional>

// Channels have a non-virtual destructor by design and are always deleted
// through their concrete class.
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"

namespace {

const uint8_t kUIH = 0xEF;
const uint8_t kUA = 0x73;
const uint8_t kBare[4] = {0x3F, 0x53, 0x73, 0x1F};  // SABM, DISC, UA, DM

enum SenderKind { kNoSender = 0, kSnc = 1, kMsc = 2, kBoth = 3 };

struct Run {
    CCtrlChannel* ctrl = nullptr;
    TestChannel* user = nullptr;
    HANDLE sender = NULL;
};

// Connects `channel` through `init` on another thread, the modem's UA
// answering its SABM.
void Connect(uint8_t dlci, const std::function<void()>& init)
{
    HANDLE t = RunAsync(init);
    Sleep(5);
    ParseNode(ModemFrame(Address(dlci, false), kUA));
    Join(t);
}

HANDLE StartSender(CCtrlChannel* ctrl, int kind, uint8_t dlci)
{
    if (kind == kNoSender) return NULL;
    return RunAsync([ctrl, kind, dlci] {
        if (kind & kSnc) ctrl->SendSNC(dlci);
        if (kind & kMsc) {
            DWORD status = 0xFFFFFFFF;
            BOOL ok = ctrl->SendMSC(dlci, &status);
            FuzzCheck(ok || status == 0, "a failed MSC query reported a status");
            FuzzCheck((status & ~0xF0u) == 0, "modem status outside the four line bits");
        }
    });
}

void Feed(PieceReader* in)
{
    while (in->More()) {
        uint8_t head = in->Octet();
        if (head < 0x80) {
            size_t len = 0;
            const uint8_t* piece = in->Take(head, &len);
            ParseNode(ModemFrame(Address(0, true), kUIH, Bytes(piece, piece + len)));
        } else if (head & 0x40) {
            Sleep(1000);
        } else {
            ParseNode(ModemFrame(Address(0, true), kBare[head & 3]));
        }
        Sleep(20);
    }
}

void TearDown(Run* run)
{
    // Long enough for a sender's time-out, a flow-control wait and a stop of
    // the multiplexer to run their course.
    Sleep(15000);
    if (run->sender != NULL) Join(run->sender);
    // The start/stop lock: a stop of the multiplexer that the control
    // channel's thread began late is over once it is ours, and one it begins
    // from now on gives way at once.
    EnterCriticalSection(&g_csStartStop);
    if (g_dispatcher.pCtrlChannel != NULL) {
        // Still up: not the multiplexer's end, so the destructor's Deinit
        // must not run the dispatcher's Stop on the fixture. The driver takes
        // the control channel down only under the start/stop lock, as this
        // does: a CLD or DISC its thread is still handling then finds a stop
        // in progress and ends, instead of waiting for the channel-down lock
        // that this Deinit holds while it waits for that thread.
        g_dispatcher.bRunning = FALSE;
        g_dispatcher.pCtrlChannel = NULL;
        delete run->ctrl;
    } else {
        // CLD or DISC: the dispatcher's Stop destroyed the control channel
        // and deinitialised the user channel.
        FuzzCheck(g_dispatcher.bStopThreads && !run->user->initialized,
                  "the control channel left without a stop of the multiplexer");
    }
    LeaveCriticalSection(&g_csStartStop);
    delete run->user;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool once = (FuzzLogOn(), true);
    (void)once;
    if (size == 0) return 0;

    plat::BeginSimulation(data[0]);
    {
        WireFixture wire;
        Run run;
        Connect(0, [&run] { run.ctrl = new CCtrlChannel(0); });
        FuzzCheck(run.ctrl != nullptr && !run.ctrl->IsNotReady(), "control channel not connected");
        g_dispatcher.pCtrlChannel = run.ctrl;
        run.user = new TestChannel(2, u"MUX2:");
        Connect(2, [&run] { run.user->Init(); });

        run.sender = StartSender(run.ctrl, data[0] & 3, static_cast<uint8_t>(data[0] >> 2));
        Sleep(5);
        PieceReader in(data + 1, size - 1);
        Feed(&in);
        TearDown(&run);
    }
    ResetDispatcherForTest();
    FuzzLogReset();
    int alive = plat::EndSimulation();
    FuzzCheck(alive == 0, "threads left alive at the end of the input");
    return 0;
}
