// CDispatcher: the single owner of the UART to the modem.
//
// Where its methods live:
//   dispatcher/dispatcher.cpp   construction, Reset, Init and its steps
//   dispatcher/stop.cpp         Stop and its steps, Release, Destroy, ClosePort
//   dispatcher/at_command.cpp   ExchangeAT, ArmResponseTimeOut (AT text while
//                               no reader runs)
//   dispatcher/send.cpp         Send (the transmit path)
//   dispatcher/table.cpp        the channel table; control commands forwarded
//                               to the control channel (NegotiateService,
//                               QueryModemStatus, SendReceiveFlow); the
//                               modem's flow control (StopFlow, ResumeFlow,
//                               StopAllFlow, ResumeAllFlow)
//   dispatcher/reader.cpp       GetDataThread, ParseDataThread, the receive ring
//   dispatcher/timeout.cpp      TimeOutThread (the response time-out)
//   dispatcher/delivery.cpp     ParseRecBytes, ParseOctets, WaitChannelIdle and
//                               the parser's sink (Address, Header, Closing,
//                               Control, Frame, OctetsEnd); the state machine is
//                               framing/parser.cpp
//   modem/lines.cpp             ModuleReset, GetRFOKPinState, RFOKPinThread,
//                               SetDTRThread
//   modem/crash_atd.cpp         ProcessATDCmd (the crashed module's debugging
//                               message)
//   modem/crash_ata.cpp         ProcessATACmd, GetATADataThread (its crash log)
//   modem/terminate.cpp         TerminateDataCall
//
// Threads (priority on the 256-level scale, lower is more urgent):
//   thread              created by                 prio  waits on
//   UserChannelThread   a user channel's Init      249   the channel's wake event
//   CtrlChannelThread   the control channel's Init 248   the channel's wake event
//   GetDataThread       Init                       247   start event, port events
//   ParseDataThread     Init                       250   start event, "DataIn"
//   TimeOutThread       Init, once                 250   arm event, cancel event
//   RFOKPinThread       Init                       dflt  the GSM_RF_OK interrupt
//   SetDTRThread        Init                       dflt  "SetFFUART_DTR"
//   GetATADataThread    ProcessATACmd              248   port events
// Reader, parser and supervision threads end at Stop; the time-out thread
// lives on until ClosePort; GetATADataThread ends with its log's end marker,
// a failed wait, or when ClosePort or the next crash capture takes the port.
//
// Locks, outermost first:
//   the instances' start-up lock   around a whole channel creation, including
//                                  Init (module reset, AT+CMUX) when it starts
//                                  the multiplexer, and around a whole crash
//                                  request, so that no start-up takes the port
//                                  from the capture
//   the crash capture lock         around a whole crash request: Stop, the
//   (modem/crash.h)                ATD phase and the ATA phase up to the box
//   g_csStartStop (lifecycle.h)    Init against Stop and Reset
//   the channel-down lock          Stop's walk over the table, each channel's
//   (table.cpp)                    Deinit (not its Release, which may stop
//                                  the multiplexer), the emptying of a slot
//   the forwarding lock (table.cpp), then the control channel's cmdLock
//                                  (held through a command's wait of 3000 ms),
//                                  then csSend
//   csSend                         around building and sending one frame,
//                                  through the module wake-up (up to ~1 s)
//   csRing, each channel's rxLock  leaf locks: never held with another lock
//
// Log texts throughout the driver are the system's fixed strings, byte for
// byte, misspellings included ("Chick Module Status", "cannel", "COM1" for
// "COM9:"): tools and people read the log by them. Do not correct them.
#ifndef MUX_DISPATCHER_DISPATCHER_H
#define MUX_DISPATCHER_DISPATCHER_H

#include "platform/platform.h"
#include "framing/frame.h"
#include "framing/parser.h"
#include "dispatcher/transmit.h"

class CChannel;
class CCtrlChannel;

#define MUX_MAX_CHANNELS 64
// The port events the driver waits for (0xC1). Setting the mask again also
// makes a pending WaitCommEvent return.
#define UART_EVENT_MASK (EV_RXCHAR | EV_BREAK | EV_ERR)
#define MUX_RING_NODES 50
#define MUX_NODE_DATA_SIZE 1000

// One node of the receive ring.
struct FFUARTDATA {
    BYTE data[MUX_NODE_DATA_SIZE];
    DWORD count;
    DWORD eventMask;
    FFUARTDATA* pNext;
};

// The dispatcher is the receive parser's sink: it finds the channel of each
// frame and delivers to it.
class CDispatcher : public FrameSink {
public:
    CDispatcher();
    ~CDispatcher();

    void Reset();
    BOOL Init();
    void Stop();
    void Release();
    void Destroy();
    void ClosePort();

    // Module lines.
    BOOL ModuleReset();
    DWORD GetRFOKPinState();

    // Ends an open data call in the clients' streams before the module is
    // re-initialised (modem/terminate.cpp).
    void TerminateDataCall();

    // Crash capture on the crash request's thread, after Stop
    // (modem/crash_atd.cpp, modem/crash_ata.cpp): the crashed module's
    // debugging message into the crash message text, then its crash log
    // into "\ATARsp.txt" by GetATADataThread while the message is shown.
    void ProcessATDCmd();
    void ProcessATACmd();

    // Receive parser (dispatcher/delivery.cpp): ParseRecBytes parses the
    // ring's current read node; ParseOctets parses `count` octets handed to
    // it, with the state carried over from the previous call either way.
    void ParseRecBytes();
    void ParseOctets(const BYTE* octets, DWORD count);

    // The parser's sink (dispatcher/delivery.cpp).
    virtual BOOL Address(BYTE address);
    virtual BOOL Header(BYTE flag, BYTE address, BYTE control, BYTE length);
    virtual BOOL Closing(BYTE address);
    virtual void Control(BYTE control);
    virtual void Frame(const BYTE* info, DWORD n);
    virtual void OctetsEnd();

    // Transmit path; the caller holds csSend.
    LONG Send(FrameDescriptor* frame);

    // AT text while no reader is on the port (at_command.cpp): writes
    // `length` octets of `command`, then reads into `buf` (`size` octets,
    // the last one stays 0) until `marker` appears anywhere in what has
    // arrived. Arms the response time-out (ArmResponseTimeOut); the
    // caller disarms it when its phase ends. FALSE on a failed port wait, a
    // wait ended by the time-out, or a full buffer without the marker.
    BOOL ExchangeAT(const BYTE* command, DWORD length, const char* marker, BYTE* buf,
                    DWORD size);
    // Arms the response time-out for an AT answer (timeOut
    // AT_RESPONSE_TIMEOUT_MS, hTimeOutArm) and returns the tick count at
    // which it was armed.
    DWORD ArmResponseTimeOut();

    // Channel table.
    BOOL RegisterChannel(CChannel* channel);
    BOOL UnregisterChannel(CChannel* channel);
    // The channel-down lock (table.cpp): Stop's walk over the table, the
    // body of each channel's Deinit and the emptying of a slot.
    void EnterChannelDown();
    void LeaveChannelDown();
    BOOL IsDlciTaken(CChannel* channel);
    BOOL NegotiateService(BYTE dlci);
    BOOL QueryModemStatus(BYTE dlci, DWORD* status);
    // After Stop: initialises again every channel still in the table, DLCI
    // 1 to 63 in ascending order (the first restarts the multiplexer), and
    // reports whether the new control channel is usable.
    BOOL ReinitChannels();
    // Forwarding of control commands to pCtrlChannel (table.cpp). The lock
    // behind it is set up once, when the driver is loaded. TakeCtrlChannel
    // (for Stop) withdraws the control channel from new senders and returns
    // it once no sender is still on its way into it.
    void InitForwarding();
    CCtrlChannel* TakeCtrlChannel();
    void StopFlow(BYTE dlci);
    void ResumeFlow(BYTE dlci);
    // FCoff and FCon from the modem: every user DLCI's transmission held,
    // and released again (flowOff).
    void StopAllFlow();
    void ResumeAllFlow();
    // Flow control towards the module (table.cpp): an MSC command for the
    // DLCI with FC set (held) or clear, sent on the control channel without
    // waiting for its response; FALSE when there is no control channel to
    // send it. ReceiveFlowHeld tells whether the DLCI's channel has asked
    // the module to hold its data, so that every MSC for it says so.
    BOOL SendReceiveFlow(BYTE dlci, BOOL held);
    BOOL ReceiveFlowHeld(BYTE dlci);

    // Worker threads; each gets the dispatcher as its argument.
    static DWORD WINAPI GetDataThread(LPVOID dispatcher);
    static DWORD WINAPI ParseDataThread(LPVOID dispatcher);
    static DWORD WINAPI TimeOutThread(LPVOID dispatcher);
    static DWORD WINAPI RFOKPinThread(LPVOID dispatcher);
    static DWORD WINAPI SetDTRThread(LPVOID dispatcher);
    static DWORD WINAPI GetATADataThread(LPVOID dispatcher);

    // Members, in declaration order.
    volatile LONG refCount;
    // Polled by other threads: read with ReadWord, written with
    // InterlockedExchange once other threads may look.
    volatile LONG bRunning;
    BYTE* pSendBuf;
    DWORD sendLength;
    volatile LONG timeOut;  // ms; ReadWord, InterlockedExchange
    // 1 once the armed response time-out has fired, until the next exchange
    // arms it again (interlocked): tells the time-out's release of a port
    // wait from a wait that the port ended early with no event.
    volatile LONG lTimeOutFired;
    volatile LONG bStopThreads;
    volatile LONG bStopTimeOut;
    HANDLE hGetDataThread;
    HANDLE hParseDataThread;
    HANDLE hTimeOutThread;
    HANDLE hRFOKPinThread;
    HANDLE hSetDTRThread;
    HANDLE hTimeOutArm;
    HANDLE hTimeOutCancel;
    HANDLE hGetDataStart;
    HANDLE hParseDataStart;
    CRITICAL_SECTION csSend;
    // Receive parser state, and the channel that took the header of the
    // frame being received.
    FrameParseState parse;
    CChannel* pCurChannel;
    CCtrlChannel* pCtrlChannel;
    // 1 while the modem's FCoff is in force (until its FCon).
    volatile LONG flowOff;
    CChannel* volatile channels[MUX_MAX_CHANNELS];
    // Per DLCI: non-zero while the receive parser touches the channel
    // registered there (see WaitChannelIdle).
    volatile LONG channelInUse[MUX_MAX_CHANNELS];
    // Line error bits the reader took from the port while it asked how many
    // octets wait there; the parser thread adds them to the error word it
    // reads for the next line error event.
    volatile LONG heldLineErrors;

    // Waits until the receive parser no longer touches the channel of this
    // DLCI; a channel calls it before it deletes what the parser uses.
    void WaitChannelIdle(BYTE dlci);

private:
    CDispatcher(const CDispatcher&);
    CDispatcher& operator=(const CDispatcher&);
};

// "AT+CMUX=0,0,%d\r\n" formatted with the port speed code into `buf` (at
// least 20 octets); returns its length.
DWORD FormatCmuxCommand(BYTE* buf, int portSpeed);

// The configured AT+CMUX command ("Software\Ovadrel", "CmuxCommand", at most
// CMUX_COMMAND_MAX_CHARS printable characters) with CR LF into `buf` of
// `size` octets; returns its length, or 0 when none is configured or it is
// unusable (then the phone's command applies).
#define CMUX_COMMAND_MAX_CHARS 120
DWORD ReadCmuxCommand(BYTE* buf, DWORD size);
// The configured port speed after the switch ("CmuxBaudRate"), or
// `standard` when none is configured.
DWORD ReadCmuxBaudRate(DWORD standard);

// AT text on the port (at_command.cpp), for ExchangeAT and the crash capture.
// The bound on an AT answer, kept by the response time-out thread.
#define AT_RESPONSE_TIMEOUT_MS 3000
// `marker` anywhere in the `length` octets, so that a marker split across
// reads is found once the octets are put together.
BOOL ContainsMarker(const BYTE* buf, DWORD length, const char* marker);
// Reads what has arrived on the port into `buf` (`size` octets, the last
// kept for the terminating zero) and hands each read to `sink` with its
// count; TRUE as soon as the sink reports the answer complete. A read that
// filled the buffer is followed by another at once: the port reports only
// new arrivals, so octets left behind would wait for the next one, and an
// end marker among them might never be seen. A failed read counts as empty
// and is logged with `readFailure` (a format with the tick count) if given.
typedef BOOL (*ATReadSink)(void* context, DWORD got);
BOOL ReadArrivedAT(BYTE* buf, DWORD size, ATReadSink sink, void* context, LPCWSTR readFailure);

// The one dispatcher of the process.
extern CDispatcher g_dispatcher;

// Process-wide values that belong to the dispatcher.
extern HANDLE hUART;
extern HANDLE hDataIn;
extern FFUARTDATA* pReadNode;
extern FFUARTDATA* pWriteNode;
extern FFUARTDATA* pRingNodes;  // node 0 of the current ring
extern CRITICAL_SECTION csRing;

// The receive ring's one home is reader.cpp. PrepareReceiveRing allocates
// and links the 50 nodes on the first start (and sets up the ring lock), or
// empties the ring of an earlier start; FALSE when a node cannot be
// allocated. FreeReceiveRing deletes the lock and frees the nodes (full
// teardown only). SignalDataIn sets "DataIn", if it is open, under the ring
// lock.
BOOL PrepareReceiveRing();
void FreeReceiveRing();
void SignalDataIn();

#endif
