#include "host/linetrace/trace.h"

#include <cstdio>
#include <algorithm>

namespace linetrace {

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

void Put32(std::string& out, uint32_t v)
{
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    out.append(b, 4);
}

void Put16(std::string& out, uint16_t v)
{
    const char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
    out.append(b, 2);
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

PcapWriter::~PcapWriter()
{
    if (own_ && file_) fclose(file_);
}

bool PcapWriter::Open(const std::string& path, std::string* error)
{
    own_ = path != "-";
    file_ = own_ ? fopen(path.c_str(), "wb") : stdout;
    if (!file_) {
        *error = "cannot write " + path;
        return false;
    }
    // Classic pcap, little-endian, microsecond time stamps.
    std::string h;
    Put32(h, 0xA1B2C3D4u);
    Put16(h, 2);
    Put16(h, 4);
    Put32(h, 0);  // this zone
    Put32(h, 0);  // sigfigs
    Put32(h, 65535);
    Put32(h, kLinkTypeMux27010);
    if (fwrite(h.data(), 1, h.size(), file_) != h.size() || fflush(file_) != 0) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool PcapWriter::Write(const sim::RecordEntry& e)
{
    if (e.kind != sim::RecordKind::Frame) return true;
    const uint32_t length = static_cast<uint32_t>(e.octets.size() + 2);
    std::string r;
    Put32(r, static_cast<uint32_t>(e.timeMs / 1000));
    Put32(r, static_cast<uint32_t>((e.timeMs % 1000) * 1000));
    Put32(r, length);
    Put32(r, length);
    r += '\0';
    r += static_cast<char>(e.direction == sim::Direction::HostToModule ? 0 : 1);
    r.append(reinterpret_cast<const char*>(e.octets.data()), e.octets.size());
    frames_++;
    return fwrite(r.data(), 1, r.size(), file_) == r.size() && fflush(file_) == 0;
}

int WritePcap(const std::string& path, const sim::FrameRecord& record, std::string* error)
{
    PcapWriter out;
    if (!out.Open(path, error)) return -1;
    for (const sim::RecordEntry& e : record) {
        if (!out.Write(e)) {
            *error = "cannot write " + path;
            return -1;
        }
    }
    return out.Frames();
}

LineCutter::LineCutter(sim::Direction direction) : direction_(direction)
{
    cutter_.onFrame = [this](const std::vector<uint8_t>& f) { Emit(sim::RecordKind::Frame, f); };
    cutter_.onNoise = [this](const std::vector<uint8_t>& n) {
        text_.insert(text_.end(), n.begin(), n.end());
    };
}

void LineCutter::Emit(sim::RecordKind kind, std::vector<uint8_t> octets)
{
    sim::RecordEntry e;
    e.timeMs = now_;
    e.direction = direction_;
    e.kind = kind;
    e.octets = std::move(octets);
    out_->push_back(std::move(e));
}

void LineCutter::EmitText()
{
    if (text_.empty()) return;
    const bool isText = std::all_of(text_.begin(), text_.end(), [](uint8_t o) {
        return o == '\r' || o == '\n' || (o >= 0x20 && o < 0x7F);
    });
    Emit(isText ? sim::RecordKind::At : sim::RecordKind::Noise, std::move(text_));
    text_.clear();
}

void LineCutter::Feed(uint64_t timeMs, const uint8_t* octets, size_t count,
                      std::vector<sim::RecordEntry>* out)
{
    now_ = timeMs;
    out_ = out;
    for (size_t i = 0; i < count; ++i) {
        // A frame opens: the text before it is complete.
        if (octets[i] == sim::kFlag && !cutter_.InFrame()) {
            cutter_.FlushNoise();
            EmitText();
        }
        cutter_.Feed(octets[i]);
    }
    if (!cutter_.InFrame()) cutter_.FlushNoise();
    if (!text_.empty() && (text_.back() == '\r' || text_.back() == '\n')) EmitText();
}

}  // namespace linetrace
