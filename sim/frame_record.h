// The simulated module's record of what crossed its serial pins, and the
// small 27.010 (basic option) toolkit the module uses on its own side of the
// line: building frames, cutting the host's octet stream into frames, and
// decoding frames and control messages for traces. Host code (C++17); the
// module is the driver's peer and shares no code with it: frame constants and
// FCS are its own.
#ifndef MUX_SIM_FRAME_RECORD_H
#define MUX_SIM_FRAME_RECORD_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class Direction {
    HostToModule = 0,  // the pcap direction octet's values
    ModuleToHost = 1,
};

enum class RecordKind {
    At,     // a line of AT text: a host command up to its CR (LF included when it
            // followed), or one reply the module wrote
    Frame,  // one 27.010 frame, opening flag to closing flag
    Noise,  // octets in multiplexer mode that belong to no complete frame
};

// One event on the line, seen at the module's pins, stamped with the time its
// last octet crossed the line. Host-to-module entries carry the octets as the
// module received them (garbled ones included); module-to-host entries carry
// the octets as they went on the line, after the module's drop/corrupt
// faults, and are a Frame only if what went is still a frame.
struct RecordEntry {
    uint64_t timeMs = 0;
    Direction direction = Direction::HostToModule;
    RecordKind kind = RecordKind::Frame;
    std::vector<uint8_t> octets;
};

using FrameRecord = std::vector<RecordEntry>;

const char* ToString(Direction d);   // "host->module", "module->host"
const char* ToString(RecordKind k);  // "AT", "frame", "noise"

// ---- frames ----

// Octets of the basic option.
const uint8_t kFlag = 0xF9;
const uint8_t kEa = 0x01;  // address and length: last octet
const uint8_t kCr = 0x02;  // address: command/response
const uint8_t kPf = 0x10;  // control: poll/final
// Frame types (control octet without P/F).
const uint8_t kSabm = 0x2F, kUa = 0x63, kDm = 0x0F, kDisc = 0x43, kUih = 0xEF, kUi = 0x03;

// The FCS of 27.010 over `count` octets (address, control, length, and the
// information of frames other than UIH).
uint8_t Fcs(const uint8_t* octets, size_t count);

// A frame: F9, address (DLCI << 2 | C/R << 1 | EA), control, length (one
// octet up to 127, else two), information, FCS, F9. The FCS covers address,
// control and length, and for frames other than UIH the information too.
std::vector<uint8_t> BuildFrame(int dlci, bool cr, uint8_t control,
                                const std::vector<uint8_t>& info = std::vector<uint8_t>());

// Frame type names by control octet without the P/F bit: "SABM", "UA", "DM",
// "DISC", "UIH", "UI"; null for anything else.
const char* FrameTypeName(uint8_t control);

struct DecodedFrame {
    int dlci = 0;
    bool cr = false;
    uint8_t address = 0;
    uint8_t control = 0;
    bool pf = false;
    const char* typeName = nullptr;  // see FrameTypeName
    std::vector<uint8_t> info;
    uint8_t fcs = 0;
    uint8_t expectedFcs = 0;
    bool fcsOk = false;
};

// Decodes one frame, flag to flag. False when the octets are not a frame:
// missing flags, address without EA, or a length that does not match.
bool DecodeFrame(const std::vector<uint8_t>& raw, DecodedFrame* out);

// ---- control messages (information of UIH frames on DLCI 0) ----

struct ControlMessage {
    uint8_t typeOctet = 0;  // as sent: type | C/R | EA
    uint8_t type = 0;       // typeOctet & 0xFC
    bool command = false;   // C/R bit
    std::vector<uint8_t> values;
    bool complete = true;   // false: the length ran past the information
};

std::vector<ControlMessage> DecodeControlMessages(const std::vector<uint8_t>& info);
// "NSC", "Test", "PSC", "RLS", "FCoff", "PN", "RPN", "FCon", "CLD", "SNC",
// "MSC"; null for anything else (by type, C/R and EA cleared).
const char* ControlTypeName(uint8_t type);
// type octet, length octet(s), values.
std::vector<uint8_t> BuildControlMessage(uint8_t typeOctet, const std::vector<uint8_t>& values);

// ---- receiving ----

// Cuts a stream of octets into frames. Any number of flags may stand between
// frames, and the closing flag of one frame may also open the next one. A
// frame whose octet after the FCS is not a flag, whose address lacks EA, or
// whose length exceeds maxInfo is broken: its octets go to onNoise and the
// cutter hunts for the next flag. Frames are passed on whatever their FCS.
class FrameCutter {
public:
    std::function<void(const std::vector<uint8_t>& frame)> onFrame;
    std::function<void(const std::vector<uint8_t>& noise)> onNoise;
    size_t maxInfo = 32767;

    void Feed(uint8_t octet);
    // Octets collected outside frames so far go to onNoise.
    void FlushNoise();
    // Forgets a partial frame (its octets become noise) and hunts again.
    void Reset();
    bool InFrame() const { return state_ != Hunt && !(state_ == Address && cur_.size() == 1); }

private:
    enum State { Hunt, Address, Control, Length1, Length2, Info, Fcs, Close };
    void Broken();

    State state_ = Hunt;
    std::vector<uint8_t> cur_;
    std::vector<uint8_t> noise_;
    size_t remaining_ = 0;
};

// Hex "F9 03 3F 01 1C F9".
std::string Hex(const std::vector<uint8_t>& octets);

}  // namespace sim

#endif
