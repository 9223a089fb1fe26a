// CCtrlChannel: the multiplexer's control channel on DLCI 0.
//
// The information field of every UIH frame on DLCI 0 is appended to the
// channel's receive buffer by the receive parser; CtrlChannelThread walks the
// control messages in it (ParseUIH), answers the modem's commands and hands
// the responses to our own commands (SNC, MSC) over to the waiting sender.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "channel/ctrl_channel.h"
#include "channel/ctrl_messages.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#include <string.h>

#define CTRL_THREAD_PRIORITY 248

namespace {

DWORD WINAPI CtrlChannelBody(LPVOID arg);

}  // namespace

// The modem's V.24 signals as the platform's modem-status word.
DWORD V24ToModemStatus(BYTE v24)
{
    DWORD status = 0;
    if (v24 & V24_RTR) status |= MS_CTS_ON;
    if (v24 & V24_RTC) status |= MS_DSR_ON;
    if (v24 & V24_IC) status |= MS_RING_ON;
    if (v24 & V24_DV) status |= MS_RLSD_ON;
    return status;
}

CCtrlChannel::CCtrlChannel(BYTE dlci)
    : CChannel(dlci, CtrlChannelThread, Cleanup),
      curMsg(NULL),
      nextMsg(NULL),
      cmdAwaited(0),
      cmdToken(0)
{
    memset(cmdBuf, 0, sizeof(cmdBuf));
    memset(cmdResponse, 0, sizeof(cmdResponse));
    memset(&cmdLock, 0, sizeof(cmdLock));
    for (int i = 0; i < MUX_CTRL_DLCIS; i++) {
        flowResponsesOwed[i] = 0;
        flowCommandTime[i] = 0;
    }
    SetName(TEXT("Ctrl"));
    rxSize = MUX_CTRL_RX_SIZE;
    rxBase = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, MUX_CTRL_RX_SIZE);
    Init();
}

CCtrlChannel::~CCtrlChannel()
{
    // The base class's part of the teardown must come first, so that neither
    // the channel thread nor the receive parser can still reach the buffer.
    if (ReadWord(&initialized)) {
        CChannel::Deinit();
    }
    g_dispatcher.UnregisterChannel(this);
    if (rxBase != NULL) {
        HeapFree(GetProcessHeap(), 0, rxBase);
        rxBase = NULL;
    }
}

BOOL CCtrlChannel::Init()
{
    if (ReadWord(&initialized)) {
        // Already up: the event and the command lock exist and may be in use.
        return CChannel::Init();
    }
    if (rxBase == NULL) {
        rxBase = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, MUX_CTRL_RX_SIZE);
        if (rxBase == NULL) goto fail;
    }
    if (commandEvent == NULL) {
        commandEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
        if (commandEvent == NULL) goto fail;
        // cmdLock lives exactly as long as commandEvent.
        InitializeCriticalSection(&cmdLock);
    }
    curMsg = NULL;
    nextMsg = NULL;
    cmdAwaited = 0;
    for (int i = 0; i < MUX_CTRL_DLCIS; i++) {
        flowResponsesOwed[i] = 0;
        flowCommandTime[i] = 0;
    }
    if (CChannel::Init()) {
        return TRUE;
    }

fail:
    if (ReadWord(&initialized)) {
        Deinit();
    }
    // A failure before the registration leaves Deinit with nothing to do, so
    // the clean-up hook has not run: release what this Init created.
    Cleanup(this);
    return FALSE;
}

BOOL CCtrlChannel::Cleanup(CChannel* channel)
{
    CCtrlChannel* ctrl = static_cast<CCtrlChannel*>(channel);
    if (ctrl->commandEvent != NULL) {
        // Deinit has released and waited for every command sender it counted;
        // one that holds cmdLock without having been counted yet (the
        // dispatcher's forwarding gate) finds the channel deinitialised and
        // leaves at once: let it leave before the lock goes away.
        EnterCriticalSection(&ctrl->cmdLock);
        LeaveCriticalSection(&ctrl->cmdLock);
        CloseHandle(ctrl->commandEvent);
        ctrl->commandEvent = NULL;
        DeleteCriticalSection(&ctrl->cmdLock);
    }
    return TRUE;
}

DWORD WINAPI CCtrlChannel::CtrlChannelThread(LPVOID channel)
{
    return RunGuarded(ChannelExceptionGuard, TEXT("CtrlChannelThread"), CtrlChannelBody, channel);
}

namespace {

DWORD WINAPI CtrlChannelBody(LPVOID arg)
{
    CCtrlChannel* ch = (CCtrlChannel*)arg;
    CeSetThreadPriority(GetCurrentThread(), CTRL_THREAD_PRIORITY);

    BOOL shutdown = FALSE;
    while (ReadWord(&ch->stopThread) == 0) {
        WaitForSingleObject(ch->wakeEvent, INFINITE);
        // Every octet queued so far is taken on this wake. The wake event is
        // never reset here: a wake that came in meanwhile stays pending, and
        // the octet it stands for is taken on the next pass at the latest.
        BYTE x;
        while (ReadWord(&ch->stopThread) == 0 && ch->TakeControlOctet(&x)) {
            switch ((BYTE)(x | MUX_PF_BIT)) {
            case MUX_CTL_DM:
            case MUX_CTL_UA:
                ch->NoteResponse(x);
                break;
            case MUX_CTL_SABM:
                ch->SendUA();
                break;
            case MUX_CTL_DISC:
                ch->SendUA();
                shutdown = TRUE;
                InterlockedExchange(&ch->stopThread, 1);
                break;
            case MUX_CTL_UIH_PF:
                if (!ch->ParseUIH()) {
                    shutdown = TRUE;
                    InterlockedExchange(&ch->stopThread, 1);
                }
                break;
            default:
                break;
            }
        }
        // Messages whose UIH octet found the control-octet ring full are in
        // the buffer all the same; the wake of their delivery brings them here.
        if (ReadWord(&ch->stopThread) == 0 && !ch->ParseUIH()) {
            shutdown = TRUE;
            InterlockedExchange(&ch->stopThread, 1);
        }
    }

    if (shutdown) {
        // The dispatcher's Stop deinitialises every channel and deletes this
        // one. Deinit, run here on the channel's own thread, does not wait
        // for that thread; nothing below Stop may touch the channel. When
        // someone else is already stopping the multiplexer, Stop returns at
        // once and that caller's Deinit waits for this thread to end.
        ch->MarkDisconnected();
        g_dispatcher.Stop();
    }
    return 0;
}

}  // namespace

BOOL CCtrlChannel::StartWalk()
{
    EnterCriticalSection(&rxLock);
    if (rxRead >= rxWrite) {
        // Nothing new: everything was taken before (a second queued UIH
        // octet), or the frame carried no octets. Old messages are not walked
        // again.
        rxRead = rxLast = rxWrite = rxBase;
        LeaveCriticalSection(&rxLock);
        return FALSE;
    }
    nextMsg = rxRead;
    LeaveCriticalSection(&rxLock);
    return TRUE;
}

BOOL CCtrlChannel::ParseUIH()
{
    if (!StartWalk()) {
        return TRUE;
    }

    BOOL result = TRUE;
    BYTE msg[CTRL_MAX_MESSAGE];
    DWORD copied = 0;
    while (NextMessage(msg, &copied)) {
        // After a CLD the remaining messages are still examined.
        if (!HandleMessage(msg, copied)) {
            result = FALSE;
        }
    }
    return result;
}

BOOL CCtrlChannel::NextMessage(BYTE* msg, DWORD* copied)
{
    // With nextMsg null the last message taken was the end of the data then;
    // frames appended since are walked on.
    if (nextMsg == NULL && !StartWalk()) {
        return FALSE;
    }
    curMsg = nextMsg;

    // Everything below reads the buffer only inside its rxSize octets,
    // whatever the length octet claims.
    DWORD offset = (DWORD)(curMsg - rxBase);
    DWORD room = (DWORD)rxSize - offset;
    DWORD valueCount = (room >= 2) ? (DWORD)(curMsg[1] >> 1) : 0;
    DWORD next = offset + 2 + valueCount;
    DWORD copy = 2 + valueCount;
    if (copy < 4) copy = 4;  // MSC reads its two value octets in any case
    if (copy > room) copy = room;

    memset(msg, 0, 4);
    EnterCriticalSection(&rxLock);
    if (next >= (DWORD)(rxWrite - rxBase)) {
        // Last message of the data (possibly cut short).
        nextMsg = NULL;
        rxRead = rxLast = rxWrite;
    } else {
        nextMsg = rxBase + next;
        rxRead = nextMsg;
    }
    memcpy(msg, curMsg, copy);
    LeaveCriticalSection(&rxLock);
    *copied = copy;
    return TRUE;
}

void CCtrlChannel::HandOverResponse(const BYTE* msg, BYTE type)
{
    // Only this thread hands over, and only a sender sets a token (while it
    // holds cmdLock, one at a time); cmdResponse is written only while a
    // token is set and read by its sender only after the hand-over. Nothing
    // here waits: the sender may have given up at any moment.
    LONG token = InterlockedCompareExchange(&cmdAwaited, 0, 0);
    if (token != 0) {
        memcpy(cmdResponse, msg, sizeof(cmdResponse));
        if (InterlockedCompareExchange(&cmdAwaited, 0, token) == token) {
            SetEvent(commandEvent);
            return;
        }
    }
    // The sender gave up meanwhile, or this is a second response to one
    // command.
    MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive a response, but not waiting for it (0x%x) ; Time=%d\r\n"),
           (unsigned)type, (int)GetTickCount());
}

BOOL CCtrlChannel::Exchange(BYTE type, const BYTE* values, DWORD count, BYTE* rsp)
{
    // Counted before it takes cmdLock: Deinit releases and waits for it
    // before commandEvent and cmdLock go away.
    if (!BeginEventUse()) {
        return FALSE;
    }
    BOOL answered = FALSE;
    EnterCriticalSection(&cmdLock);
    if (ReadWord(&initialized)) {
        cmdBuf[0] = CTRL_COMMAND(type);
        cmdBuf[1] = CTRL_LENGTH(count);
        memcpy(&cmdBuf[2], values, count);

        // A token of its own, so that a hand-over meant for an earlier
        // command that gave up is not taken for this one's.
        if (++cmdToken <= 0) cmdToken = 1;
        LONG token = cmdToken;
        InterlockedExchange(&cmdAwaited, token);
        SendUIH(cmdBuf, 2 + count);

        // A set of commandEvent left over from such an earlier hand-over
        // does not end the wait: only the token's going does.
        DWORD start = GetTickCount();
        for (;;) {
            if (InterlockedCompareExchange(&cmdAwaited, 0, 0) != token || !ReadWord(&initialized)) {
                break;
            }
            DWORD spent = GetTickCount() - start;
            if (spent >= CTRL_COMMAND_TIMEOUT_MS) {
                break;
            }
            WaitForSingleObject(commandEvent, CTRL_COMMAND_TIMEOUT_MS - spent);
        }
        // Withdraw the token; if it was already gone, the response is ours.
        answered = InterlockedCompareExchange(&cmdAwaited, 0, token) != token;
        if (answered && ReadWord(&initialized)) {
            memcpy(rsp, cmdResponse, sizeof(cmdResponse));
        } else {
            answered = FALSE;
        }
    }
    LeaveCriticalSection(&cmdLock);
    EndEventUse();
    return answered;
}

BOOL CCtrlChannel::SendSNC(BYTE dlci)
{
    BYTE values[3];
    values[0] = CTRL_DLCI_OCTET(dlci);
    values[1] = SNC_SERVICE_DATA;
    values[2] = SNC_CODEC;
    BYTE rsp[4];
    if (!Exchange(CTRL_MSG_SNC, values, 3, rsp)) {
        return FALSE;
    }
    return rsp[0] == CTRL_RESPONSE(CTRL_MSG_SNC) && rsp[1] == CTRL_LENGTH(3) && (rsp[2] >> 2) == (dlci & 0x3F) &&
           rsp[3] == SNC_SERVICE_DATA;
}

BOOL CCtrlChannel::SendMSC(BYTE dlci, DWORD* status)
{
    if (status != NULL) *status = 0;
    BYTE values[2];
    values[0] = CTRL_DLCI_OCTET(dlci);
    values[1] = (BYTE)(OWN_V24_SIGNALS | (g_dispatcher.ReceiveFlowHeld(dlci) ? V24_FC : 0));
    BYTE rsp[4];
    if (!Exchange(CTRL_MSG_MSC, values, 2, rsp)) {
        return FALSE;
    }
    if (rsp[0] != CTRL_RESPONSE(CTRL_MSG_MSC) || rsp[1] != CTRL_LENGTH(2) || rsp[2] != values[0]) {
        return FALSE;
    }
    if (status != NULL) *status = V24ToModemStatus(rsp[3]);
    return TRUE;
}
