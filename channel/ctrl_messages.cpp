// The control channel's handling of each message the modem sends on DLCI
// 0: answers to its commands (CLD, MSC, FCoff, FCon; NSC for the commands
// not supported here), responses handed to our waiting sender, and the MSC
// commands of our own flow control towards the module.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "channel/ctrl_channel.h"
#include "channel/ctrl_messages.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

namespace {

// How this side takes each message type: as a command from the modem, and
// as a response to a command of its own. Types not listed are neither
// answered nor logged.
enum CommandAction { CMD_NONE, CMD_NSC, CMD_CLD, CMD_MSC, CMD_FCOFF, CMD_FCON };
enum ResponseAction { RSP_NONE, RSP_UNUSED, RSP_HAND_OVER };

struct MessageRule {
    BYTE type;
    BYTE command;   // CommandAction
    BYTE response;  // ResponseAction
};

// PSC is answered with NSC: a modem that asks for power saving waits for an
// answer, and NSC tells it at once that the request is not supported here.
const MessageRule kMessageRules[] = {
    {CTRL_MSG_NSC, CMD_NSC, RSP_UNUSED},     {CTRL_MSG_TEST, CMD_NSC, RSP_UNUSED},
    {CTRL_MSG_PSC, CMD_NSC, RSP_UNUSED},     {CTRL_MSG_RLS, CMD_NSC, RSP_UNUSED},
    {CTRL_MSG_FCOFF, CMD_FCOFF, RSP_UNUSED}, {CTRL_MSG_PN, CMD_NSC, RSP_UNUSED},
    {CTRL_MSG_RPN, CMD_NSC, RSP_UNUSED},     {CTRL_MSG_FCON, CMD_FCON, RSP_UNUSED},
    {CTRL_MSG_CLD, CMD_CLD, RSP_UNUSED},     {CTRL_MSG_SNC, CMD_NSC, RSP_HAND_OVER},
    {CTRL_MSG_MSC, CMD_MSC, RSP_HAND_OVER},
};

MessageRule RuleFor(BYTE type)
{
    for (DWORD i = 0; i < sizeof(kMessageRules) / sizeof(kMessageRules[0]); i++) {
        if (kMessageRules[i].type == type) {
            return kMessageRules[i];
        }
    }
    MessageRule none = {type, CMD_NONE, RSP_NONE};
    return none;
}

}  // namespace

void CCtrlChannel::HandleResponse(const BYTE* msg, DWORD copied)
{
    BYTE type = (BYTE)(msg[0] & 0xFC);
    // The answer to a flow-control MSC of ours is ours to take, even while
    // a modem-status query waits for its own.
    if (type == CTRL_MSG_MSC && copied >= 3 && TakeFlowResponse((BYTE)(msg[2] >> 2))) {
        return;
    }
    MessageRule rule = RuleFor(type);
    if (InterlockedCompareExchange(&cmdAwaited, 0, 0) == 0) {
        MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive a response, but not waiting for it (0x%x) ; Time=%d\r\n"),
               (unsigned)type, (int)GetTickCount());
    } else if (rule.response == RSP_UNUSED) {
        MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive not implemented response (0x%x) ; Time=%d\r\n"),
               (unsigned)type, (int)GetTickCount());
    } else if (rule.response == RSP_HAND_OVER) {
        HandOverResponse(msg, type);
    }
}

// A response without values: type octet and length octet 0.
static void SendBareResponse(CCtrlChannel* ch, BYTE type)
{
    BYTE rsp[2];
    rsp[0] = CTRL_RESPONSE(type);
    rsp[1] = CTRL_LENGTH(0);
    ch->SendUIH(rsp, 2);
}

BOOL CCtrlChannel::HandleMessage(const BYTE* msg, DWORD copied)
{
    BYTE typeOctet = msg[0];
    BYTE type = (BYTE)(typeOctet & 0xFC);

    if ((typeOctet & MUX_CR_BIT) == 0) {
        HandleResponse(msg, copied);
        return TRUE;
    }

    // Command from the modem. A hold is in force before its answer leaves,
    // so that no data frame of the held DLCIs follows the answer; our own
    // messages are never held.
    switch (RuleFor(type).command) {
    case CMD_NSC: {
        MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> Receive unsupported command (0x%x) ; Time=%d\r\n"),
               (unsigned)type, (int)GetTickCount());
        BYTE nsc[3];
        nsc[0] = CTRL_RESPONSE(CTRL_MSG_NSC);
        nsc[1] = CTRL_LENGTH(1);
        nsc[2] = typeOctet;
        SendUIH(nsc, 3);
        break;
    }
    case CMD_CLD:
        SendBareResponse(this, CTRL_MSG_CLD);
        return FALSE;
    case CMD_FCOFF:
        // In force before the answer leaves: no data frame follows it.
        g_dispatcher.StopAllFlow();
        SendBareResponse(this, CTRL_MSG_FCOFF);
        break;
    case CMD_FCON:
        SendBareResponse(this, CTRL_MSG_FCON);
        g_dispatcher.ResumeAllFlow();
        break;
    case CMD_MSC:
        // An MSC at the very end of the buffer has no DLCI and signal
        // octets to act on.
        if (copied >= 4) {
            BYTE dlciOctet = msg[2];
            BYTE d = (BYTE)(dlciOctet >> 2);
            BOOL stop = (msg[3] & V24_FC) != 0;
            if (stop) {
                g_dispatcher.StopFlow(d);
            }
            BYTE rsp[4];
            rsp[0] = CTRL_RESPONSE(CTRL_MSG_MSC);
            rsp[1] = CTRL_LENGTH(2);
            rsp[2] = dlciOctet;
            rsp[3] = OWN_V24_SIGNALS;
            SendUIH(rsp, 4);
            if (!stop) {
                g_dispatcher.ResumeFlow(d);
            }
        }
        break;
    default:
        break;
    }
    return TRUE;
}

BOOL CCtrlChannel::TakeFlowResponse(BYTE dlci)
{
    if (InterlockedCompareExchange(&flowResponsesOwed[dlci], 0, 0) <= 0) {
        return FALSE;
    }
    DWORD sent = (DWORD)InterlockedCompareExchange(&flowCommandTime[dlci], 0, 0);
    if (GetTickCount() - sent > CTRL_COMMAND_TIMEOUT_MS) {
        // Left unanswered: nothing is owed any more.
        InterlockedExchange(&flowResponsesOwed[dlci], 0);
        return FALSE;
    }
    if (InterlockedDecrement(&flowResponsesOwed[dlci]) < 0) {
        InterlockedIncrement(&flowResponsesOwed[dlci]);
        return FALSE;
    }
    return TRUE;
}

BOOL CCtrlChannel::SendFlowCommand(BYTE dlci, BOOL held)
{
    dlci &= 0x3F;
    if (!ReadWord(&initialized)) {
        return FALSE;
    }
    BYTE msc[4];
    msc[0] = CTRL_COMMAND(CTRL_MSG_MSC);
    msc[1] = CTRL_LENGTH(2);
    msc[2] = CTRL_DLCI_OCTET(dlci);
    msc[3] = (BYTE)(OWN_V24_SIGNALS | (held ? V24_FC : 0));
    InterlockedExchange(&flowCommandTime[dlci], (LONG)GetTickCount());
    InterlockedIncrement(&flowResponsesOwed[dlci]);
    MuxLog(TEXT("MUX: CCtrlChannel::SendFlowCommand() -> DLCI %d, FC %d ; Time=%d\r\n"), (int)dlci,
           held ? 1 : 0, (int)GetTickCount());
    if (SendUIH(msc, 4) != 4) {
        InterlockedDecrement(&flowResponsesOwed[dlci]);
        return FALSE;
    }
    return TRUE;
}
