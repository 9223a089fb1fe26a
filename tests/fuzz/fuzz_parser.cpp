// The receive parser fed from the fuzzer: the input is a sequence of receive
// nodes (a length octet, then that many octets; a length of 0 stands for a
// client that reads every channel empty at that point), parsed one after the
// other with DLCIs 0, 1 and 2 registered and ready (DLCI 2 with a small
// buffer, so that appends run out of room) and DLCI 3 registered but closing.
// After every node the parser's state and every channel's buffer positions
// must be consistent.
#include "fuzz_common.h"

#include "dispatcher/dispatcher.h"
#include "framing/frame.h"
#include "platform/host.h"
#include "test_channel.h"

#include <cstddef>
#include <cstdint>

namespace {

const int kChannels = 4;
TestChannel* g_channels[kChannels];

void SetUpOnce()
{
    // A world of its own, so that the 200 ms pause of a full buffer costs
    // no real time. The parser runs on this thread alone.
    plat::BeginSimulation(1);
    FuzzLogOn();
    g_channels[0] = new TestChannel(0, u"Ctrl", 254);
    g_channels[1] = new TestChannel(1, u"MUX1:", 256);
    g_channels[2] = new TestChannel(2, u"MUX2:", 64);
    g_channels[3] = new TestChannel(3, u"MUX3:", 256);
}

void ResetForInput()
{
    ResetDispatcherForTest();
    for (int i = 0; i < kChannels; i++) {
        g_channels[i]->MakeReadyForParser();
        g_channels[i]->ctlQueueWrite = 0;
        g_channels[i]->ctlQueueRead = 0;
    }
    g_channels[3]->stopThread = 1;  // being closed: the parser must leave it alone
}

void CheckState()
{
    const CDispatcher& d = g_dispatcher;
    FuzzCheck(d.parse.state >= PS_FLAG && d.parse.state <= PS_CLOSE, "parse state out of range");
    FuzzCheck(d.parse.remaining <= MUX_MAX_INFO, "more information octets expected than a frame holds");
    FuzzCheck(pFrameBufPos >= frameBuffer && pFrameBufPos <= frameBuffer + MUX_FRAME_BUF_SIZE,
              "frame buffer position outside the frame buffer");
    for (int i = 0; i < kChannels; i++) {
        const TestChannel* ch = g_channels[i];
        FuzzCheck(ch->rxBase <= ch->rxRead && ch->rxRead <= ch->rxWrite &&
                      ch->rxWrite <= ch->rxEnd && ch->rxEnd == ch->rxBase + ch->rxSize,
                  "receive buffer positions out of order");
        FuzzCheck(ch->ctlQueueWrite >= 0 && ch->ctlQueueWrite < MUX_CTL_QUEUE_SIZE,
                  "control octet queue index out of range");
    }
    FuzzCheck(g_channels[3]->rxWrite == g_channels[3]->rxBase, "a closing channel got data");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool once = (SetUpOnce(), true);
    (void)once;
    ResetForInput();

    PieceReader in(data, size);
    while (in.More()) {
        size_t len = 0;
        const uint8_t* node = in.Piece(&len);
        if (len == 0) {
            for (int i = 0; i < 3; i++) g_channels[i]->Drain();
        } else {
            ParseNode(node, len);
        }
        CheckState();
    }
    FuzzLogReset();
    return 0;
}
