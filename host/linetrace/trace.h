// Presentation of what crossed the simulated serial line: a readable trace,
// one line per event, and a classic pcap capture of the 27.010 frames.
#ifndef MUX_HOST_LINETRACE_TRACE_H
#define MUX_HOST_LINETRACE_TRACE_H

#include "sim/frame_record.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace linetrace {

// Octets as text: printable ASCII as is, \r \n, \" \\, others \xNN.
std::string Escaped(const std::vector<uint8_t>& octets);

// One trace line (without the line end) for a recorded event.
std::string TraceLine(const sim::RecordEntry& entry);

// The control messages of a UIH information field on DLCI 0, decoded:
// "MSC command DLCI 1 V.24 0x0D (RTC RTR)" and so on, "; " between them.
std::string DescribeControl(const std::vector<uint8_t>& info);

// The names of the V.24 signals set in an MSC signal octet: "FC RTC RTR IC DV".
std::string V24Names(uint8_t v24);

// The platform's modem-status word, flag by flag: "CTS DSR RING RLSD".
std::string ModemStatusNames(uint32_t status);

// Writes every frame of the record (AT text and noise stay out) to a classic
// pcap file of link type 236 (LINKTYPE_MUX27010): each record is 0x00, the
// direction (0 host to module, 1 module to host) and the frame flag to flag,
// time-stamped with the virtual time. Returns the number of frames written,
// or -1 when the file cannot be written (error text in *error).
int WritePcap(const std::string& path, const sim::FrameRecord& record, std::string* error);

// A capture written as it goes: the header when it opens, then every frame
// flushed as it is written, so that the file (or a pipe into Wireshark) can
// be watched live. "-" is standard output.
class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    bool Open(const std::string& path, std::string* error);
    // Writes the entry if it is a frame. False when the write failed.
    bool Write(const sim::RecordEntry& entry);
    int Frames() const { return frames_; }

private:
    FILE* file_ = nullptr;
    bool own_ = false;
    int frames_ = 0;
};

// Cuts the octets that crossed a line in one direction, as seen from the
// host, into record entries: frames flag to flag, text outside frames as AT
// lines (one entry per stretch of text that ends a chunk with CR or LF),
// anything else outside frames as noise.
class LineCutter {
public:
    explicit LineCutter(sim::Direction direction);
    // Octets that arrived at timeMs; the entries they complete are appended.
    void Feed(uint64_t timeMs, const uint8_t* octets, size_t count,
              std::vector<sim::RecordEntry>* out);

private:
    void Emit(sim::RecordKind kind, std::vector<uint8_t> octets);
    void EmitText();

    sim::Direction direction_;
    sim::FrameCutter cutter_;
    std::vector<uint8_t> text_;
    uint64_t now_ = 0;
    std::vector<sim::RecordEntry>* out_ = nullptr;
};

}  // namespace linetrace

#endif
