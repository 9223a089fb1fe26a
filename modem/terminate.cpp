// Ending an open data call before the module is re-initialised: the data
// port receives a PPP link termination and the notification port the
// result code NO CARRIER, as if the modem had sent them.
#include "platform/platform.h"
#include "platform/own_calls.h"
#include "dispatcher/dispatcher.h"
#include "channel/channel.h"
#include "channel/rx_buffer.h"
#include "channel/user_channel.h"

#include <string.h>

// Bit of the phone's status that says a data call is active.
#define PHONE_STATUS_DATA_CALL 0x1000
// The RIL's port names are read into 20 bytes; the buffers hold one unit
// more, so the names are terminated whatever the registry holds.
#define RIL_PORT_NAME_BYTES 20
// A receive buffer without room gets one more chance after this pause.
#define INJECT_RETRY_MS 1000

// An LCP Terminate-Request in the HDLC-like framing of PPP: flag, address,
// control, protocol LCP, code 5, identifier 0, length 29, the text, the FCS
// over address to text (least significant octet first), flag. No octet is
// escaped: the link's control character map is empty at this point.
static const BYTE kTerminatePacket[37] = {
    0x7E, 0xFF, 0x03, 0xC0, 0x21, 0x05, 0x00, 0x00, 0x1D,
    'N', 'o', 'r', 'm', 'a', 'l', ' ', 'T', 'e', 'r', 'm', 'i', 'n', 'a', 't', 'i', 'o', 'n',
    ' ', 'b', 'y', ' ', 'N', 'C', 'P',
    0x21, 0x54, 0x7E,
};

// NO CARRIER in its numeric form.
static const BYTE kNoCarrier[2] = {'3', '\r'};

// TRUE when a data call is active.
static BOOL DataCallActive()
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("System\\State\\Phone"), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    LONG result = RegQueryValueExW(key, TEXT("Status"), NULL, NULL, (LPBYTE)&status, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && (status & PHONE_STATUS_DATA_CALL) != 0;
}

static BOOL ReadRilPorts(WCHAR* dataPort, WCHAR* notifyPort)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\Microsoft\\RIL"), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD size = RIL_PORT_NAME_BYTES;
    BOOL ok = RegQueryValueExW(key, TEXT("DataPort"), NULL, NULL, (LPBYTE)dataPort, &size) == ERROR_SUCCESS;
    if (ok) {
        size = RIL_PORT_NAME_BYTES;
        ok = RegQueryValueExW(key, TEXT("ComPortNotifications"), NULL, NULL, (LPBYTE)notifyPort,
                              &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
}

// The wake queues no control octet, so the channel's thread sees no frame in
// it: a user channel's client waiting for events is told here, as the thread
// tells it of a frame. Otherwise it would not read the octets before the
// re-initialisation empties the buffer. A user channel is known by its
// thread procedure; its event is not closed while the caller holds the DLCI.
static void NoteReceived(CChannel* channel)
{
    if (channel->threadProc != CUserChannel::UserChannelThread) {
        return;
    }
    CUserChannel* user = static_cast<CUserChannel*>(channel);
    InterlockedExchange(&user->commEvents, EV_RXCHAR);
    PulseEvent(user->commEvent);
}

// Appends the octets to the receive buffer as the receive parser appends a
// frame and wakes the channel's thread. Without room the lock is released
// for one pause and the room tested again. The DLCI is held meanwhile, as
// the parser holds it, so the channel's Deinit never deletes the lock under
// us; a channel stopped during the pause is left alone.
static BOOL Inject(CDispatcher* d, BYTE dlci, const BYTE* octets, DWORD count)
{
    BOOL injected = FALSE;
    InterlockedIncrement(&d->channelInUse[dlci]);
    CChannel* channel = d->channels[dlci];
    if (channel != NULL && ReadWord(&channel->stopThread) == 0) {
        if (RxBufferAppend(channel, octets, count, INJECT_RETRY_MS, NULL) == RX_APPENDED) {
            channel->WakeThread();
            NoteReceived(channel);
            injected = TRUE;
        }
    }
    InterlockedDecrement(&d->channelInUse[dlci]);
    return injected;
}

void CDispatcher::TerminateDataCall()
{
    WCHAR dataPort[RIL_PORT_NAME_BYTES / sizeof(WCHAR) + 1];
    WCHAR notifyPort[RIL_PORT_NAME_BYTES / sizeof(WCHAR) + 1];
    memset(dataPort, 0, sizeof(dataPort));
    memset(notifyPort, 0, sizeof(notifyPort));

    if (!DataCallActive() || !ReadRilPorts(dataPort, notifyPort)) {
        return;
    }

    // The control channel on DLCI 0 carries no client stream. A later match
    // replaces an earlier one; a port named for both is the data port.
    int dataDlci = -1;
    int notifyDlci = -1;
    for (int dlci = 1; dlci < MUX_MAX_CHANNELS; dlci++) {
        // Held while its name is compared, so it is not freed meanwhile.
        InterlockedIncrement(&channelInUse[dlci]);
        CChannel* channel = channels[dlci];
        if (channel != NULL && channel->name != NULL) {
            if (wcscmp(channel->name, dataPort) == 0) {
                dataDlci = dlci;
            } else if (wcscmp(channel->name, notifyPort) == 0) {
                notifyDlci = dlci;
            }
        }
        InterlockedDecrement(&channelInUse[dlci]);
    }

    // A data port that matches no channel leaves nothing to end there, but
    // the RIL still learns that the call is over.
    if (dataDlci >= 0 && !Inject(this, (BYTE)dataDlci, kTerminatePacket, sizeof(kTerminatePacket))) {
        return;
    }
    if (notifyDlci >= 0) {
        Inject(this, (BYTE)notifyDlci, kNoCarrier, sizeof(kNoCarrier));
    }
}
