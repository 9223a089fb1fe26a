// Presentation of what crossed the simulated serial line: a readable trace,
// one line per event, and a classic pcap capture of the 27.010 frames.
#ifndef MUX_HOST_MUXSIM_TRACE_H
#define MUX_HOST_MUXSIM_TRACE_H

#include "sim/frame_record.h"

#include <cstdint>
#include <string>
#include <vector>

namespace muxsim {

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

}  // namespace muxsim

#endif
