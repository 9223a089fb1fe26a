#include "trace.h"

#include <cstdio>
#include <fstream>

namespace muxsim {

namespace {

const uint32_t kLinkTypeMux27010 = 236;

std::string Printable(const std::vector<uint8_t>& octets)
{
    std::string s;
    for (uint8_t o : octets) s += (o >= 0x20 && o < 0x7F) ? static_cast<char>(o) : '.';
    return s;
}

// AT text with its control characters spelled out: "AT+CMUX=0,0,7\r\n".

std::string Hex2(unsigned v)
{
    char b[8];
    snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

std::string DescribeMessage(const sim::ControlMessage& m)
{
    const char* name = sim::ControlTypeName(m.type);
    std::string s = name ? name : "type " + Hex2(m.type);
    s += m.command ? " command" : " response";
    const std::vector<uint8_t>& v = m.values;
    auto dlciOf = [](uint8_t octet) { return std::to_string(octet >> 2); };

    switch (m.type) {
    case 0xE0:  // MSC
        if (v.size() >= 1) s += " DLCI " + dlciOf(v[0]) + " (" + Hex2(v[0]) + ")";
        if (v.size() >= 2) {
            s += " V.24 " + Hex2(v[1]);
            std::string names = V24Names(v[1]);
            if (!names.empty()) s += " (" + names + ")";
        }
        if (v.size() >= 3) s += " break " + Hex2(v[2]);
        break;
    case 0xD0:  // SNC
        if (v.size() >= 1) s += " DLCI " + dlciOf(v[0]) + " (" + Hex2(v[0]) + ")";
        if (v.size() >= 2) s += " service " + Hex2(v[1]);
        if (v.size() >= 3) s += " codec " + Hex2(v[2]);
        break;
    case 0x10:  // NSC
        if (v.size() >= 1) s += " for type octet " + Hex2(v[0]);
        break;
    default:
        if (!v.empty()) s += " values " + sim::Hex(v);
        break;
    }
    if (!m.complete) s += " (length runs past the frame)";
    return s;
}

void Put32(std::ofstream& out, uint32_t v)
{
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    out.write(b, 4);
}

void Put16(std::ofstream& out, uint16_t v)
{
    const char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
    out.write(b, 2);
}

}  // namespace

std::string Escaped(const std::vector<uint8_t>& octets)
{
    std::string s;
    for (uint8_t o : octets) {
        char b[8];
        if (o == '\r') {
            s += "\\r";
        } else if (o == '\n') {
            s += "\\n";
        } else if (o == '"' || o == '\\') {
            s += '\\';
            s += static_cast<char>(o);
        } else if (o >= 0x20 && o < 0x7F) {
            s += static_cast<char>(o);
        } else {
            snprintf(b, sizeof b, "\\x%02X", o);
            s += b;
        }
    }
    return s;
}

std::string V24Names(uint8_t v24)
{
    static const struct {
        uint8_t bit;
        const char* name;
    } kBits[] = {{0x02, "FC"}, {0x04, "RTC"}, {0x08, "RTR"}, {0x40, "IC"}, {0x80, "DV"}};
    std::string s;
    for (const auto& b : kBits) {
        if (v24 & b.bit) {
            if (!s.empty()) s += ' ';
            s += b.name;
        }
    }
    return s;
}

std::string ModemStatusNames(uint32_t status)
{
    static const struct {
        uint32_t bit;
        const char* name;
    } kBits[] = {{0x10, "CTS"}, {0x20, "DSR"}, {0x40, "RING"}, {0x80, "RLSD"}};
    std::string s;
    for (const auto& b : kBits) {
        if (status & b.bit) {
            if (!s.empty()) s += ' ';
            s += b.name;
        }
    }
    return s.empty() ? "none" : s;
}

std::string DescribeControl(const std::vector<uint8_t>& info)
{
    std::string s;
    for (const sim::ControlMessage& m : sim::DecodeControlMessages(info)) {
        if (!s.empty()) s += "; ";
        s += DescribeMessage(m);
    }
    return s;
}

std::string TraceLine(const sim::RecordEntry& e)
{
    char head[64];
    snprintf(head, sizeof head, "%8llu ms  %s  ", static_cast<unsigned long long>(e.timeMs),
             sim::ToString(e.direction));
    std::string line = head;

    if (e.kind == sim::RecordKind::At) {
        return line + "AT    \"" + Escaped(e.octets) + "\"";
    }
    sim::DecodedFrame f;
    if (e.kind == sim::RecordKind::Noise || !sim::DecodeFrame(e.octets, &f)) {
        return line + "noise " + std::to_string(e.octets.size()) + " octets: " + sim::Hex(e.octets);
    }

    char b[96];
    snprintf(b, sizeof b, "DLCI %-2d %-4s C/R=%d P/F=%d len %3zu", f.dlci,
             f.typeName ? f.typeName : "?", f.cr ? 1 : 0, f.pf ? 1 : 0, f.info.size());
    line += b;
    if (!f.typeName) line += " control " + Hex2(f.control);
    if (!f.fcsOk) line += " FCS " + Hex2(f.fcs) + " BAD (expected " + Hex2(f.expectedFcs) + ")";
    if (!f.info.empty()) {
        line += "  [" + sim::Hex(f.info) + "] \"" + Printable(f.info) + "\"";
        if (f.dlci == 0 && (f.control & 0xEF) == 0xEF) {
            line += "  " + DescribeControl(f.info);
        }
    }
    return line;
}

int WritePcap(const std::string& path, const sim::FrameRecord& record, std::string* error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = "cannot write " + path;
        return -1;
    }
    // Classic pcap, little-endian, microsecond time stamps.
    Put32(out, 0xA1B2C3D4u);
    Put16(out, 2);
    Put16(out, 4);
    Put32(out, 0);  // this zone
    Put32(out, 0);  // sigfigs
    Put32(out, 65535);
    Put32(out, kLinkTypeMux27010);

    int frames = 0;
    for (const sim::RecordEntry& e : record) {
        if (e.kind != sim::RecordKind::Frame) continue;
        const uint32_t length = static_cast<uint32_t>(e.octets.size() + 2);
        Put32(out, static_cast<uint32_t>(e.timeMs / 1000));
        Put32(out, static_cast<uint32_t>((e.timeMs % 1000) * 1000));
        Put32(out, length);
        Put32(out, length);
        const char pseudo[2] = {0x00, static_cast<char>(e.direction == sim::Direction::HostToModule ? 0 : 1)};
        out.write(pseudo, 2);
        out.write(reinterpret_cast<const char*>(e.octets.data()),
                  static_cast<std::streamsize>(e.octets.size()));
        frames++;
    }
    out.flush();
    if (!out) {
        *error = "cannot write " + path;
        return -1;
    }
    return frames;
}

}  // namespace muxsim
