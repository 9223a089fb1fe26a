// The simulated module's serial half: its UART, the AT command mode, and the
// 27.010 basic-option peer. Host code (C++17). State is its own (kernel lock
// held for all of it); it reaches the driver only through the simulated line.
//
// Life: while the line half says the module runs (GSM_RF_OK high) it starts in
// AT command mode at atBaud (115200). "AT+CMUX=0,0,<speed>" is answered with
// cmuxReply ("\r\nOK\r\n") after cmuxReplyDelayMs; once that reply has left
// the line the module speaks 27.010 at the command's speed (7 = 460800) or
// muxBaud. As a peer, on every DLCI (0 to 63) it answers SABM and DISC with UA
// (F = P of the command) after uaDelayMs, and on DLCI 0 the control commands:
//   SNC   -> SNC response repeating the DLCI octet, service octet(s) as asked
//            (03 01 when the command asked nothing): D1 07 <dlci> 03 01
//   MSC   -> MSC response: E1 05 <dlci octet with EA and C/R set> <v24>, where
//            v24 is v24ForDlci[dlci] or v24 (default 0x0D: EA, RTC, RTR)
//   Test  -> Test response with the same values
//   PSC, FCon, FCoff -> their responses (41/A1/61 01)
//   CLD   -> C1 01, then back to AT command mode at atBaud
//   other commands -> NSC: 11 03 <the received type octet>
// DISC on DLCI 0 is answered with UA and also ends multiplexer mode. Frames
// with a bad FCS are not answered. Responses from the host are kept, not
// answered. Before the module runs, while it is crashed, and (by default)
// while it sleeps, octets from the host are lost.
//
// Frames from the module carry C/R as the responder of 27.010 sends them:
// responses (UA, DM) with C/R = 1, commands and UIH frames with C/R = 0.
//
// Files: module_serial.cpp (UART, life, record, actions), module_at.cpp (AT
// command mode, AT+CMUX), module_peer.cpp (27.010 peer and its control
// channel faults), module_modem.cpp (the modem on the user DLCIs),
// module_crash.cpp (the crashed module). Settings by name: module_settings.h.
// Timed events of the settings (line events, stray frames, bursts,
// unsolicited texts, flow stops) are set up at construction; a DLCI's
// interpreter takes the modem settings when the DLCI opens.
#ifndef MUX_SIM_MODULE_SERIAL_H
#define MUX_SIM_MODULE_SERIAL_H

#include "sim/at_modem.h"
#include "sim/frame_record.h"
#include "sim/module_lines.h"
#include "platform/hw/serial_sim.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

// A module write cut in two: the octets from `at` on leave gapMs later.
struct WriteSplit {
    uint32_t write = 0;  // 1-based number of the module's write; 0 = every write
    uint32_t at = 0;     // octet offset within the write
    uint32_t gapMs = 0;
};

// The module closes the multiplexer (DISC or CLD on DLCI 0) right after its
// nth response to control commands of one type.
struct CloseAfter {
    uint8_t type = 0xE0;  // command type octet without C/R and EA (MSC)
    bool cld = false;     // false: DISC
    uint32_t nth = 1;
};

// Count UIH frames on DLCI 0 carrying burstInfo, all at atMs.
struct UihBurst {
    uint64_t atMs = 0;
    uint32_t count = 1;
};

// The crashed module (GSM_RF_OK low after a crash) at the speed the port was
// left at: "ATD\r" gets debugText, "ATA\r" the crash log (logText, or
// logOctets of numbered log lines), both ended by "+++\r\n" and sent in
// writes of chunkOctets every chunkGapMs.
struct CrashSettings {
    bool answer = true;  // false: a crashed module hears nothing
    std::string debugText = "ASSERT: l1_sched.c 1234, task L1 stack overflow\r\n";
    std::string logText;       // empty: logOctets of generated lines
    uint32_t logOctets = 4000;
    uint32_t chunkOctets = 256;
    uint32_t chunkGapMs = 2;
    uint32_t replyDelayMs = 20;
    bool endless = false;      // the log never ends: no "+++\r\n"
    // Line conditions during the crash log: after chunk CHUNK (0-based),
    // CE_* errors, 0 = a break.
    std::map<uint32_t, uint32_t> eventAfterChunk;
};

// A line condition the module's side causes on the host's receiver.
struct LineEvent {
    uint64_t atMs = 0;    // platform time
    uint32_t errors = 0;  // CE_* bits; 0 = a break
};

struct SerialSettings {
    // --- AT command mode ---
    uint32_t atBaud = 115200;
    bool answerCmux = true;              // false: the command gets no answer
    bool enterMuxWithoutAnswer = false;  // with answerCmux false: switch all the same
    std::string cmuxReply = "\r\nOK\r\n";
    uint32_t cmuxReplyDelayMs = 10;
    uint32_t muxBaud = 0;  // 0: the speed the command asks for
    // Octets the module puts on the line at the new speed right after an
    // AT+CMUX switched it to 27.010 (noise of a speed change); none by default.
    std::vector<uint8_t> afterMuxSwitch;

    // --- 27.010 peer ---
    uint32_t uaDelayMs = 10;    // SABM/DISC to the answer
    uint64_t noUaDlcis = 0;     // bit d: SABM and DISC on DLCI d get no answer
    uint64_t noUaOnDiscDlcis = 0;  // bit d: DISC on DLCI d gets no answer
    uint64_t dmDlcis = 0;       // bit d: DM instead of UA
    uint64_t uaWithoutFDlcis = 0;  // bit d: UA with F = 0
    uint32_t ctrlReplyDelayMs = 5;
    // A frame whose next octet is this late is given up and the receiver
    // hunts for a flag again, as the host's own receiver does after its
    // time-out: a length octet garbled on the line then costs the frames
    // of that moment, not every frame until the false length is used up.
    // 0: a partial frame waits for ever.
    uint32_t frameGapMs = 3000;
    bool answerSnc = true;
    bool answerMsc = true;
    // The host's MSC with FC set for a user DLCI holds what the module has
    // for it (false: a module that ignores it and sends on); what it holds
    // is at most flowHoldLimit octets of frames per DLCI: beyond that a
    // frame is dropped, counted, and said so in Notices().
    bool honourHostFlow = true;
    size_t flowHoldLimit = 16384;
    // FCoff from the module at a time, FCon forMs later (every user DLCI).
    std::vector<std::pair<uint64_t, uint32_t>> fcOff;
    bool nscForUnknown = true;
    uint8_t v24 = 0x0D;                 // EA | RTC | RTR: ready, may send, no carrier
    std::map<int, uint8_t> v24ForDlci;  // per DLCI, instead of v24

    // --- control channel faults (keys: command type octets, e.g. 0xE0 MSC) ---
    std::map<uint8_t, uint32_t> repeatResponse;   // copies of the response in one frame
    std::map<uint8_t, uint32_t> lateDuplicateMs;  // the response frame again, ms later
    std::vector<CloseAfter> closeAfter;
    std::vector<uint64_t> strayUaAtMs, strayDmAtMs;  // UA/DM (F = 1) on DLCI 0 at these times
    std::vector<UihBurst> uihBursts;
    std::vector<uint8_t> burstInfo = {0xE3, 0x05, 0x07, 0x0D};  // MSC command, DLCI 1

    // --- the modem behind the user DLCIs (at_modem.h) ---
    ModemSettings modem;
    bool uartEcho = false;  // echo in AT command mode on the UART

    CrashSettings crash;

    // --- line faults ---
    std::vector<WriteSplit> splits;
    // Octet numbers (0-based, counted from the module's construction) in
    // each direction: dropped on the way, or corrupted (XOR corruptXor).
    std::set<uint64_t> dropToHost, corruptToHost, dropFromHost, corruptFromHost;
    uint8_t corruptXor = 0x40;
    std::vector<LineEvent> lineEvents;
    bool loseOctetsWhileAsleep = true;
    // Frame numbers (0-based, the module's frames counted from its
    // construction) sent with a wrong FCS (its ones' complement).
    std::set<uint64_t> badFcsToHost;
    // Output handed over as a USB modem hands its tty data: collected until
    // chunkOctets are there, or chunkHoldMs after the first of them, then
    // all at once, then silence. 0: octet by octet at the line's rate.
    uint32_t chunkOctets = 0;
    uint32_t chunkHoldMs = 5;

    // Transmit FIFO of the host's UART wired to the module: 0, a write ends
    // when its last octet has left; the phone's UART has 64 octets.
    size_t hostTransmitFifo = 0;

    // --- what the module keeps of the line (a long run keeps the newest) ---
    size_t recordLimit = 20000;            // entries of Record()
    size_t dataFromHostLimit = 1u << 20;   // octets of DataFromHost(), per DLCI
};

// Keeps the newest `limit` elements of a record that only grows: once it
// holds a quarter more, the oldest go in one step, so that trimming costs
// little per element added.
template <typename T>
void TrimOldest(std::vector<T>& v, size_t limit)
{
    if (v.size() <= limit + limit / 4) return;
    v.erase(v.begin(), v.begin() + (v.size() - limit));
}

// Bit d of a set of DLCIs (false outside 0..63).
inline bool DlciBit(uint64_t set, int dlci)
{
    return dlci >= 0 && dlci < 64 && ((set >> dlci) & 1u);
}

// A control message the host sent on DLCI 0.
struct HostControlMessage {
    uint64_t timeMs = 0;
    ControlMessage message;
};

class ModuleSerial : public plat::serial::UartPeer {
public:
    enum class Mode { Off, AtCommand, Mux, Crashed };

    // Creates the UART ("COM9:") and follows `lines` for boot, crash and sleep.
    ModuleSerial(const SerialSettings& settings, ModuleLines& lines);
    ~ModuleSerial() override;
    ModuleSerial(const ModuleSerial&) = delete;
    ModuleSerial& operator=(const ModuleSerial&) = delete;

    plat::serial::SimUart& Uart() { return *uart_; }
    Mode GetMode() const;
    SerialSettings Settings() const;
    void ChangeSettings(const std::function<void(SerialSettings&)>& change);

    // --- what happened ---
    FrameRecord Record() const;
    void ClearRecord();
    bool DlciOpen(int dlci) const;
    bool HostStoppedFlow(int dlci) const;  // the host's last MSC had FC set
    // Frames the module held for a DLCI the host had stopped and then had
    // to drop (its hold buffer full), and octets it holds now.
    uint64_t HeldFramesDropped(int dlci) const;
    size_t HeldOctets(int dlci) const;
    // UIH frames on user DLCIs that came from the host after it had
    // answered our FCoff (before our FCon), or after it had answered our
    // MSC with FC set for that DLCI (before the one that clears it).
    uint64_t FramesAgainstFlow() const;
    bool FcOffAnswered() const;  // our FCoff is in force and the host has answered it
    // What the module has to say about itself ("DLCI 3: hold buffer full,
    // frames dropped"), oldest first.
    std::vector<std::string> Notices() const;
    std::vector<uint8_t> DataFromHost(int dlci) const;
    std::vector<HostControlMessage> ControlFromHost() const;
    uint64_t OctetsFromHost() const;   // octets the module's receiver got
    uint64_t OctetsLost() const;       // from the host: lost while off, crashed or asleep, or dropped
    unsigned BadFcsFrames() const;
    unsigned CmuxCommands() const;
    // The host's line speed when the last AT+CMUX command arrived (0: none yet).
    uint32_t LastCmuxHostBaud() const;
    // Called (kernel lock held, must not block) for every UIH on DLCI 1-63.
    void SetUserDataHandler(std::function<void(int dlci, const std::vector<uint8_t>&)> handler);

    // --- the modem on the user DLCIs ---
    bool InDataCall(int dlci) const;
    uint64_t DataCallOctets(int dlci) const;  // received in data mode since the DLCI opened
    // Command lines as received on a user DLCI since it opened (0: on the
    // UART in AT command mode since the last boot).
    std::vector<std::string> ModemCommands(int dlci) const;
    uint32_t FrameSize() const;  // largest information field of module frames (N1)

    // --- actions ---
    // A text on a user DLCI, framed as its interpreter frames results ("RING").
    void SendUnsolicited(int dlci, const std::string& text);
    void SendMsc(int dlci, bool fc);  // MSC command with the DLCI's V.24 and FC
    void SendFcOff(bool off);         // FCoff (true) or FCon on DLCI 0
    void SendSabm(int dlci);
    void SendDisc(int dlci);
    void SendCld();
    void SendUih(int dlci, const std::vector<uint8_t>& info);
    // atMs: platform time to put the octets on the line (0 or past: now, behind
    // what is queued). A later write is dropped if the module powers down first.
    void SendRaw(const std::vector<uint8_t>& octets, uint64_t atMs = 0);
    void SendBreak(uint64_t atMs = 0);
    void SendLineError(uint32_t errors, bool withOctet = false, uint8_t octet = 0,
                       uint64_t atMs = 0);
    // A traffic generator: every periodMs, while the module runs and once it
    // has answered a SABM on DLCI 0 since its last boot, frame(i) (i = 0, 1,
    // ...) goes on the line as it is; an empty result sends nothing. Runs
    // until StopTraffic or the module's destruction; a DISC or CLD does not
    // stop it (what it sends then meets the host at the AT speed).
    // frame() is called with the kernel lock held and must not block.
    void StartTraffic(uint32_t periodMs, std::function<std::vector<uint8_t>(unsigned)> frame);
    void StopTraffic();
    void SplitNextWrite(uint32_t at, uint32_t gapMs);
    // Straight into multiplexer mode (for tests that skip the AT handshake).
    void EnterMux(uint32_t baud = 460800);

    // UartPeer
    void OctetFromHost(uint8_t octet, bool garbled) override;

private:
    void OnLines();
    void Boot();
    void PowerDown(Mode mode);
    void CancelReplies();
    void Later(uint32_t delayMs, std::function<void()> fn);
    // Puts octets on the line through the drop/corrupt/split faults and
    // records what went: text as AT, otherwise a frame or noise as it came out.
    void Write(std::vector<uint8_t> octets, bool text = false);
    // In chunk mode: what Write put out waits here for its chunk.
    void ChunkOut(const std::vector<uint8_t>& line);
    void FlushChunks(bool all);
    // lastOctetAtMs: when the last octet crossed the line (0: now).
    void Record(Direction dir, RecordKind kind, std::vector<uint8_t> octets,
                uint64_t lastOctetAtMs = 0);
    void AtOctet(uint8_t o);
    void MuxOctet(uint8_t o);
    bool CmuxCommand(const std::string& cmd, bool* ok);
    void AtAnswer(const AtModem::Output& out);
    std::vector<uint8_t> ControlAnswer(const ControlMessage& m, bool* closeDown);
    void AfterResponse(uint8_t type, const std::vector<uint8_t>& answer);
    void CloseMux(bool cld);
    void ScheduleControlFaults();
    void ScheduleModemEvents();
    void MscCommand(int dlci, bool fc);
    void Unsolicit(int dlci, const std::string& text);
    void HostFlow(int dlci, bool stop);
    bool HostHolds(int dlci) const;  // honoured FC of the host on a user DLCI
    // Writes a frame for a user DLCI, or holds it while the host holds the
    // DLCI (bounded by flowHoldLimit).
    void WriteUserFrame(int dlci, std::vector<uint8_t> frame);
    // A frame from the generator or a test: held if it is a UIH on a held
    // user DLCI, written otherwise.
    void WriteOrHold(std::vector<uint8_t> octets);
    void ModuleFcOff(bool off);
    void NoteHostResponse(const ControlMessage& m);
    void NoteHostData(int dlci);
    void ModemConnected(int dlci);
    void ModemDisconnected(int dlci);
    void ModemsOff();
    void ModemInput(int dlci, const std::vector<uint8_t>& octets);
    void ModemOutput(int dlci, const AtModem::Output& out);
    void SendOnDlci(int dlci, const std::string& text);
    void PumpSource(int dlci);
    void CrashedOctet(uint8_t o);
    void CrashAnswer(const std::string& text, uint32_t chunk);
    void OnFrame(const std::vector<uint8_t>& raw);
    void OnControl(const std::vector<uint8_t>& info);
    void AnswerConnect(int dlci, uint8_t control, bool disc);
    void LeaveMux();
    void SendControl(const std::vector<uint8_t>& message);
    uint8_t V24For(int dlci) const;
    void SwitchToMux(uint32_t baud);
    void TrafficTick();

    SerialSettings settings_;
    ModuleLines& lines_;
    std::unique_ptr<plat::serial::SimUart> uart_;
    Mode mode_ = Mode::Off;
    ModuleState lastState_ = ModuleState::Off;
    unsigned lastResets_ = 0;

    std::string atLine_;  // also the crashed module's line
    bool lastAtEndedWithCr_ = false;
    FrameCutter cutter_;
    uint64_t lastMuxOctetMs_ = 0;  // the cutter's last octet
    FrameRecord record_;

    uint64_t open_ = 0;          // bit d: DLCI d connected
    uint64_t hostStopped_ = 0;   // bit d: host asked the module to stop (FC)
    std::map<int, std::vector<uint8_t>> dataFromHost_;
    std::vector<HostControlMessage> controlFromHost_;
    std::function<void(int, const std::vector<uint8_t>&)> userData_;

    uint64_t rxIndex_ = 0, txIndex_ = 0;
    uint64_t octetsFromHost_ = 0, lost_ = 0;
    unsigned badFcs_ = 0, cmuxCommands_ = 0;
    uint32_t cmuxHostBaud_ = 0;
    bool dlci0Connected_ = false;  // a SABM on DLCI 0 answered since the last boot
    std::function<std::vector<uint8_t>(unsigned)> traffic_;
    uint32_t trafficPeriodMs_ = 0;
    unsigned trafficCount_ = 0;
    uint64_t trafficTimer_ = 0;
    uint32_t writes_ = 0;
    uint64_t framesToHost_ = 0;      // the module's frames so far (badFcsToHost)
    std::vector<uint8_t> chunk_;     // output waiting for its chunk
    uint64_t chunkTimer_ = 0;
    std::vector<WriteSplit> pendingSplits_;
    std::set<uint64_t> timers_;       // pending replies and mode switches
    std::vector<uint64_t> scheduled_;  // timers set at construction from the settings
    std::unique_ptr<AtModem> uartModem_;
    uint32_t pendingMuxBaud_ = 0, pendingN1_ = 0;
    uint32_t n1_ = 127;
    bool closingMux_ = false;  // our DISC or CLD on DLCI 0 awaits the host's answer
    std::map<uint8_t, unsigned> responsesSent_;
    std::map<int, std::unique_ptr<AtModem>> modems_;
    // Frames held while the host stopped the DLCI, their octets, drops.
    std::map<int, std::vector<std::vector<uint8_t>>> held_;
    std::map<int, size_t> heldOctets_;
    std::map<int, uint64_t> heldDropped_;
    std::vector<std::string> notices_;
    // Our own flow control towards the host: DLCIs we stopped (MSC FC) and
    // FCoff, each once the host has answered it; frames that broke them.
    uint64_t moduleStopped_ = 0, moduleStopAcked_ = 0;
    bool fcOffSent_ = false, fcOffAcked_ = false;
    uint64_t framesAgainstFlow_ = 0;
    std::map<int, uint64_t> sourceLeft_;      // data call source: octets still to send
};

}  // namespace sim

#endif
