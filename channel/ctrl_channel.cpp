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

namespace {

const int kCtrlThreadPriority = 248;
const DWORD kCommandTimeoutMs = 3000;

// Control message types (type octet AND 0xFC).
const BYTE kMsgNSC = 0x10;
const BYTE kMsgTest = 0x20;
const BYTE kMsgPSC = 0x40;
const BYTE kMsgRLS = 0x50;
const BYTE kMsgFCoff = 0x60;
const BYTE kMsgPN = 0x80;
const BYTE kMsgRPN = 0x90;
const BYTE kMsgFCon = 0xA0;
const BYTE kMsgCLD = 0xC0;
const BYTE kMsgSNC = 0xD0;
const BYTE kMsgMSC = 0xE0;

// V.24 signal octet of MSC.
const BYTE kV24FC = 0x02;
const BYTE kV24RTC = 0x04;
const BYTE kV24RTR = 0x08;
const BYTE kV24IC = 0x40;
const BYTE kV24DV = 0x80;

// The signal octet this side reports: EA, RTC, RTR; FC clear.
const BYTE kOwnSignals = 0x0D;

// A message is at most a type octet, a length octet and 127 value octets.
const int kMaxMessage = 2 + 127;

// Commands we answer with NSC. PSC is among them: a modem that asks for
// power saving waits for an answer, and NSC tells it at once that the
// request is not supported here.
BOOL IsUnsupportedCommand(BYTE type)
{
    switch (type) {
    case kMsgNSC:
    case kMsgTest:
    case kMsgPSC:
    case kMsgRLS:
    case kMsgFCoff:
    case kMsgPN:
    case kMsgRPN:
    case kMsgFCon:
    case kMsgSNC:
        return TRUE;
    default:
        return FALSE;
    }
}

// Responses the modem may send that this side has no use for.
BOOL IsUnusedResponse(BYTE type)
{
    switch (type) {
    case kMsgNSC:
    case kMsgTest:
    case kMsgPSC:
    case kMsgRLS:
    case kMsgFCoff:
    case kMsgPN:
    case kMsgRPN:
    case kMsgFCon:
    case kMsgCLD:
        return TRUE;
    default:
        return FALSE;
    }
}

// The modem's V.24 signals as the platform's modem-status word.
DWORD V24ToModemStatus(BYTE v24)
{
    DWORD status = 0;
    if (v24 & kV24RTR) status |= MS_CTS_ON;
    if (v24 & kV24RTC) status |= MS_DSR_ON;
    if (v24 & kV24IC) status |= MS_RING_ON;
    if (v24 & kV24DV) status |= MS_RLSD_ON;
    return status;
}

DWORD WINAPI CtrlChannelBody(LPVOID arg);

}  // namespace

CCtrlChannel::CCtrlChannel(BYTE dlci)
    : CChannel(dlci, CtrlChannelThread, Cleanup),
      responseDoneEvent(NULL),
      curMsg(NULL),
      nextMsg(NULL)
{
    memset(cmdBuf, 0, sizeof(cmdBuf));
    memset(&cmdLock, 0, sizeof(cmdLock));
    name = TEXT("Ctrl");
    rxSize = MUX_CTRL_RX_SIZE;
    rxBase = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, MUX_CTRL_RX_SIZE);
    Init();
}

CCtrlChannel::~CCtrlChannel()
{
    // The base class's part of the teardown must come first, so that neither
    // the channel thread nor the receive parser can still reach the buffer.
    if (initialized) {
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
    if (initialized) {
        // Already up: the event and the command lock exist and may be in use.
        return CChannel::Init();
    }
    if (rxBase == NULL) {
        rxBase = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, MUX_CTRL_RX_SIZE);
        if (rxBase == NULL) goto fail;
    }
    if (responseDoneEvent == NULL) {
        responseDoneEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
        if (responseDoneEvent == NULL) goto fail;
        // cmdLock lives exactly as long as responseDoneEvent.
        InitializeCriticalSection(&cmdLock);
    }
    curMsg = NULL;
    nextMsg = NULL;
    if (CChannel::Init()) {
        return TRUE;
    }

fail:
    if (initialized) {
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
    if (ctrl->responseDoneEvent != NULL) {
        SetEvent(ctrl->responseDoneEvent);
        // A command sender released by Deinit (responseEvent set, initialized
        // 0) may still hold cmdLock until it has set responseDoneEvent; let it
        // leave before the lock and the event go away.
        EnterCriticalSection(&ctrl->cmdLock);
        LeaveCriticalSection(&ctrl->cmdLock);
        CloseHandle(ctrl->responseDoneEvent);
        ctrl->responseDoneEvent = NULL;
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
    CeSetThreadPriority(GetCurrentThread(), kCtrlThreadPriority);

    BOOL shutdown = FALSE;
    while (ch->stopThread == 0) {
        WaitForSingleObject(ch->wakeEvent, INFINITE);
        if (ch->stopThread != 0) break;

        BYTE x = ch->TakeControlOctet();

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
            ch->stopThread = 1;
            break;
        case MUX_CTL_UIH_PF:
            if (!ch->ParseUIH()) {
                shutdown = TRUE;
                ch->stopThread = 1;
            }
            break;
        default:
            break;
        }
        ResetEvent(ch->wakeEvent);
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

BOOL CCtrlChannel::ParseUIH()
{
    BOOL result = TRUE;

    EnterCriticalSection(&rxLock);
    if (rxRead >= rxWrite) {
        // Nothing new: an earlier call took everything (a second queued UIH
        // octet), or the frame carried no octets. Do not walk old messages
        // again.
        rxRead = rxLast = rxWrite = rxBase;
        LeaveCriticalSection(&rxLock);
        return TRUE;
    }
    curMsg = nextMsg = rxRead;
    LeaveCriticalSection(&rxLock);

    for (;;) {
        if (nextMsg == NULL) {
            EnterCriticalSection(&rxLock);
            if (rxRead >= rxWrite) {
                break;  // with rxLock held
            }
            curMsg = nextMsg = rxRead;
            LeaveCriticalSection(&rxLock);
        }

        // Everything below reads the buffer only inside its rxSize octets,
        // whatever the length octet claims.
        DWORD offset = (DWORD)(curMsg - rxBase);
        DWORD room = (DWORD)rxSize - offset;
        DWORD valueCount = (room >= 2) ? (DWORD)(curMsg[1] >> 1) : 0;
        DWORD next = offset + 2 + valueCount;

        BYTE msg[kMaxMessage];
        DWORD copy = 2 + valueCount;
        if (copy < 4) copy = 4;  // MSC reads its two value octets in any case
        if (copy > room) copy = room;

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

        BYTE typeOctet = msg[0];
        BYTE type = (BYTE)(typeOctet & 0xFC);

        if (typeOctet & MUX_CR_BIT) {
            // Command from the modem.
            if (IsUnsupportedCommand(type)) {
                MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> Receive unsupported command (0x%x) ; Time=%d\r\n"),
                       (unsigned)type, (int)GetTickCount());
                BYTE nsc[3];
                nsc[0] = 0x11;
                nsc[1] = 0x03;
                nsc[2] = typeOctet;
                SendUIH(nsc, 3);
            } else if (type == kMsgCLD) {
                BYTE cld[2];
                cld[0] = 0xC1;
                cld[1] = 0x01;
                SendUIH(cld, 2);
                result = FALSE;
            } else if (type == kMsgMSC) {
                if (copy >= 4) {
                    BYTE dlciOctet = msg[2];
                    BYTE v24 = msg[3];
                    BYTE rsp[4];
                    rsp[0] = 0xE1;
                    rsp[1] = 0x05;
                    rsp[2] = dlciOctet;
                    rsp[3] = kOwnSignals;
                    SendUIH(rsp, 4);
                    BYTE d = (BYTE)(dlciOctet >> 2);
                    if (v24 & kV24FC) {
                        g_dispatcher.StopFlow(d);
                    } else {
                        g_dispatcher.ResumeFlow(d);
                    }
                }
                // An MSC at the very end of the buffer has no DLCI and signal
                // octets to act on.
            }
        } else {
            // Response from the modem: one is awaited while a sender holds
            // cmdLock.
            if (TryEnterCriticalSection(&cmdLock)) {
                MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive a response, but not waiting for it (0x%x) ; Time=%d\r\n"),
                       (unsigned)type, (int)GetTickCount());
                LeaveCriticalSection(&cmdLock);
            } else if (IsUnusedResponse(type)) {
                MuxLog(TEXT("MUX: CCtrlChannel::ParseUIH() -> ERROR, Receive not implemented response (0x%x) ; Time=%d\r\n"),
                       (unsigned)type, (int)GetTickCount());
            } else if (type == kMsgSNC || type == kMsgMSC) {
                // The sender examines the message at curMsg while we wait.
                SetEvent(responseEvent);
                WaitForSingleObject(responseDoneEvent, INFINITE);
            }
        }

        curMsg = nextMsg;
    }

    rxRead = rxLast = rxWrite = rxBase;
    LeaveCriticalSection(&rxLock);
    return result;
}

namespace {

// Reads the first `count` octets of the message at `msg` if they lie inside
// the channel's buffer.
BOOL ReadMessage(const CCtrlChannel* ch, const BYTE* msg, BYTE* out, DWORD count)
{
    if (msg == NULL || ch->rxBase == NULL) return FALSE;
    if (msg < ch->rxBase) return FALSE;
    DWORD offset = (DWORD)(msg - ch->rxBase);
    if (offset > (DWORD)ch->rxSize || (DWORD)ch->rxSize - offset < count) return FALSE;
    memcpy(out, msg, count);
    return TRUE;
}

}  // namespace

BOOL CCtrlChannel::SendSNC(BYTE dlci)
{
    BOOL result = FALSE;
    EnterCriticalSection(&cmdLock);
    if (!initialized) {
        // Deinitialised meanwhile: its events are closed or about to be.
        LeaveCriticalSection(&cmdLock);
        return FALSE;
    }

    cmdBuf[0] = 0xD3;
    cmdBuf[1] = 0x07;
    cmdBuf[2] = (BYTE)(dlci * 4 + 3);
    cmdBuf[3] = 0x03;
    cmdBuf[4] = 0x01;
    ResetEvent(responseDoneEvent);
    SendUIH(cmdBuf, 5);

    DWORD wait = WaitForSingleObject(responseEvent, kCommandTimeoutMs);
    if (wait == WAIT_OBJECT_0 && initialized) {
        BYTE rsp[4];
        if (ReadMessage(this, curMsg, rsp, 4) && rsp[0] == 0xD1 && rsp[1] == 0x07 &&
            (rsp[2] >> 2) == (dlci & 0x3F) && rsp[3] == 0x03) {
            result = TRUE;
        }
    }

    SetEvent(responseDoneEvent);
    LeaveCriticalSection(&cmdLock);
    return result;
}

BOOL CCtrlChannel::SendMSC(BYTE dlci, DWORD* status)
{
    BOOL result = FALSE;
    EnterCriticalSection(&cmdLock);
    if (status != NULL) *status = 0;
    if (!initialized) {
        LeaveCriticalSection(&cmdLock);
        return FALSE;
    }

    BYTE dlciOctet = (BYTE)(dlci * 4 + 3);
    cmdBuf[0] = 0xE3;
    cmdBuf[1] = 0x05;
    cmdBuf[2] = dlciOctet;
    cmdBuf[3] = kOwnSignals;
    ResetEvent(responseDoneEvent);
    SendUIH(cmdBuf, 4);

    DWORD wait = WaitForSingleObject(responseEvent, kCommandTimeoutMs);
    if (wait == WAIT_OBJECT_0 && initialized) {
        BYTE rsp[4];
        if (ReadMessage(this, curMsg, rsp, 4) && rsp[0] == 0xE1 && rsp[1] == 0x05 &&
            rsp[2] == dlciOctet) {
            if (status != NULL) *status = V24ToModemStatus(rsp[3]);
            result = TRUE;
        }
    }

    SetEvent(responseDoneEvent);
    LeaveCriticalSection(&cmdLock);
    return result;
}
