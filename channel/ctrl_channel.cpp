// CCtrlChannel: the multiplexer's control channel on DLCI 0.
//
// The information field of every UIH frame on DLCI 0 is appended to the
// channel's receive buffer by the receive parser; CtrlChannelThread walks the
// control messages in it (ParseUIH), answers the modem's commands and hands
// the responses to our own commands (SNC, MSC) over to the waiting sender.
#include "platform/platform.h"
#include "channel/ctrl_channel.h"
#include "dispatcher/dispatcher.h"
#include "diag/log.h"

#define CTRL_THREAD_PRIORITY 248
#define CTRL_COMMAND_TIMEOUT_MS 3000

// Control message types (type octet AND 0xFC).
#define CTRL_MSG_NSC 0x10
#define CTRL_MSG_TEST 0x20
#define CTRL_MSG_PSC 0x40
#define CTRL_MSG_RLS 0x50
#define CTRL_MSG_FCOFF 0x60
#define CTRL_MSG_PN 0x80
#define CTRL_MSG_RPN 0x90
#define CTRL_MSG_FCON 0xA0
#define CTRL_MSG_CLD 0xC0
#define CTRL_MSG_SNC 0xD0
#define CTRL_MSG_MSC 0xE0

// A message's type octet: the type with EA set, and C/R set on a command,
// clear on a response. Its length octet: a length below 128 shifted past EA.
#define CTRL_COMMAND(type) ((BYTE)((type) | MUX_CR_BIT | MUX_EA_BIT))
#define CTRL_RESPONSE(type) ((BYTE)((type) | MUX_EA_BIT))
#define CTRL_LENGTH(count) ((BYTE)(((count) << 1) | MUX_EA_BIT))

// The DLCI octet of MSC and SNC: EA, C/R (always 1 here) and the DLCI.
#define CTRL_DLCI_OCTET(dlci) ((BYTE)((dlci) * 4 + 3))

// SNC's values: the service octet (EA, data service) and the voice codec.
#define SNC_SERVICE_DATA 0x03
#define SNC_CODEC 0x01

// V.24 signal octet of MSC.
#define V24_FC 0x02
#define V24_RTC 0x04
#define V24_RTR 0x08
#define V24_IC 0x40
#define V24_DV 0x80

// The signal octet this side reports: EA, RTC, RTR; FC clear.
#define OWN_V24_SIGNALS 0x0D

// A message is at most a type octet, a length octet and 127 value octets.
#define CTRL_MAX_MESSAGE (2 + 127)

namespace {

// Commands we answer with NSC. PSC is among them: a modem that asks for
// power saving waits for an answer, and NSC tells it at once that the
// request is not supported here.
BOOL IsUnsupportedCommand(BYTE type)
{
    switch (type) {
    case CTRL_MSG_NSC:
    case CTRL_MSG_TEST:
    case CTRL_MSG_PSC:
    case CTRL_MSG_RLS:
    case CTRL_MSG_FCOFF:
    case CTRL_MSG_PN:
    case CTRL_MSG_RPN:
    case CTRL_MSG_FCON:
    case CTRL_MSG_SNC:
        return TRUE;
    default:
        return FALSE;
    }
}

// Responses the modem may send that this side has no use for.
BOOL IsUnusedResponse(BYTE type)
{
    switch (type) {
    case CTRL_MSG_NSC:
    case CTRL_MSG_TEST:
    case CTRL_MSG_PSC:
    case CTRL_MSG_RLS:
    case CTRL_MSG_FCOFF:
    case CTRL_MSG_PN:
    case CTRL_MSG_RPN:
    case CTRL_MSG_FCON:
    case CTRL_MSG_CLD:
        return TRUE;
    default:
        return FALSE;
    }
}

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

DWORD WINAPI CtrlChannelBody(LPVOID arg);

}  // namespace

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

BOOL CCtrlChannel::HandleMessage(const BYTE* msg, DWORD copied)
{
    BYTE typeOctet = msg[0];
    BYTE type = (BYTE)(typeOctet & 0xFC);

    if ((typeOctet & MUX_CR_BIT) == 0) {
        // Response from the modem.
        if (InterlockedCompareExchange(&cmdAwaited, 0, 0) == 0) {
            MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive a response, but not waiting for it (0x%x) ; Time=%d\r\n"),
                   (unsigned)type, (int)GetTickCount());
        } else if (IsUnusedResponse(type)) {
            MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive not implemented response (0x%x) ; Time=%d\r\n"),
                   (unsigned)type, (int)GetTickCount());
        } else if (type == CTRL_MSG_SNC || type == CTRL_MSG_MSC) {
            HandOverResponse(msg, type);
        }
        return TRUE;
    }

    // Command from the modem.
    if (IsUnsupportedCommand(type)) {
        MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> Receive unsupported command (0x%x) ; Time=%d\r\n"),
               (unsigned)type, (int)GetTickCount());
        BYTE nsc[3];
        nsc[0] = CTRL_RESPONSE(CTRL_MSG_NSC);
        nsc[1] = CTRL_LENGTH(1);
        nsc[2] = typeOctet;
        SendUIH(nsc, 3);
    } else if (type == CTRL_MSG_CLD) {
        BYTE cld[2];
        cld[0] = CTRL_RESPONSE(CTRL_MSG_CLD);
        cld[1] = CTRL_LENGTH(0);
        SendUIH(cld, 2);
        return FALSE;
    } else if (type == CTRL_MSG_MSC && copied >= 4) {
        // An MSC at the very end of the buffer has no DLCI and signal
        // octets to act on.
        BYTE dlciOctet = msg[2];
        BYTE v24 = msg[3];
        BYTE rsp[4];
        rsp[0] = CTRL_RESPONSE(CTRL_MSG_MSC);
        rsp[1] = CTRL_LENGTH(2);
        rsp[2] = dlciOctet;
        rsp[3] = OWN_V24_SIGNALS;
        SendUIH(rsp, 4);
        BYTE d = (BYTE)(dlciOctet >> 2);
        if (v24 & V24_FC) {
            g_dispatcher.StopFlow(d);
        } else {
            g_dispatcher.ResumeFlow(d);
        }
    }
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
    values[1] = OWN_V24_SIGNALS;
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
