#include "frame_record.h"

#include <algorithm>
#include <cstdio>

namespace sim {

const char* ToString(Direction d)
{
    return d == Direction::HostToModule ? "host->module" : "module->host";
}

const char* ToString(RecordKind k)
{
    switch (k) {
    case RecordKind::At: return "AT";
    case RecordKind::Frame: return "frame";
    case RecordKind::Noise: return "noise";
    }
    return "?";
}

uint8_t Fcs(const uint8_t* octets, size_t count)
{
    // CRC-8 of 27.010, bit by bit: reflected generator x^8 + x^2 + x + 1
    // (0xE0), register preset to all ones, ones' complement sent.
    uint8_t crc = 0xFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= octets[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 1) ? (crc >> 1) ^ 0xE0 : crc >> 1);
    }
    return static_cast<uint8_t>(0xFF - crc);
}

namespace {

bool IsUih(uint8_t control) { return (control & ~kPf & 0xFF) == kUih; }

void AppendLength(std::vector<uint8_t>& out, size_t n)
{
    if (n <= 127) {
        out.push_back(static_cast<uint8_t>((n << 1) | 1));
    } else {
        out.push_back(static_cast<uint8_t>((n & 0x7F) << 1));
        out.push_back(static_cast<uint8_t>(n >> 7));
    }
}

}  // namespace

std::vector<uint8_t> BuildFrame(int dlci, bool cr, uint8_t control, const std::vector<uint8_t>& info)
{
    std::vector<uint8_t> f;
    f.push_back(kFlag);
    f.push_back(static_cast<uint8_t>(((dlci & 0x3F) << 2) | (cr ? kCr : 0) | kEa));
    f.push_back(control);
    AppendLength(f, info.size());
    const size_t header = f.size() - 1;
    f.insert(f.end(), info.begin(), info.end());
    const size_t covered = IsUih(control) ? header : header + info.size();
    f.push_back(Fcs(&f[1], covered));
    f.push_back(kFlag);
    return f;
}

const char* FrameTypeName(uint8_t control)
{
    switch (control & ~kPf & 0xFF) {
    case kSabm: return "SABM";
    case kUa: return "UA";
    case kDm: return "DM";
    case kDisc: return "DISC";
    case kUih: return "UIH";
    case kUi: return "UI";
    default: return nullptr;
    }
}

bool DecodeFrame(const std::vector<uint8_t>& raw, DecodedFrame* out)
{
    if (raw.size() < 6 || raw.front() != kFlag || raw.back() != kFlag) return false;
    DecodedFrame d;
    d.address = raw[1];
    if (!(d.address & kEa)) return false;
    d.dlci = d.address >> 2;
    d.cr = (d.address & kCr) != 0;
    d.control = raw[2];
    d.pf = (d.control & kPf) != 0;
    d.typeName = FrameTypeName(d.control);
    size_t pos = 3;
    size_t len = raw[pos] >> 1;
    if (!(raw[pos] & 1)) {
        ++pos;
        if (pos >= raw.size()) return false;
        len |= size_t(raw[pos]) << 7;
    }
    ++pos;
    const size_t header = pos - 1;  // address .. last length octet
    if (pos + len + 2 != raw.size()) return false;
    d.info.assign(raw.begin() + pos, raw.begin() + pos + len);
    d.fcs = raw[pos + len];
    const size_t covered = IsUih(d.control) ? header : header + len;
    d.expectedFcs = Fcs(&raw[1], covered);
    d.fcsOk = d.fcs == d.expectedFcs;
    *out = d;
    return true;
}

std::vector<ControlMessage> DecodeControlMessages(const std::vector<uint8_t>& info)
{
    std::vector<ControlMessage> msgs;
    size_t pos = 0;
    while (pos < info.size()) {
        ControlMessage m;
        m.typeOctet = info[pos++];
        m.type = m.typeOctet & 0xFC;
        m.command = (m.typeOctet & 0x02) != 0;
        size_t len = 0;
        unsigned shift = 0;
        bool haveLength = false;
        while (pos < info.size()) {
            const uint8_t o = info[pos++];
            len |= size_t(o >> 1) << shift;
            shift += 7;
            if (o & 1) {
                haveLength = true;
                break;
            }
        }
        if (!haveLength) {
            m.complete = false;
            msgs.push_back(m);
            break;
        }
        const size_t take = std::min(len, info.size() - pos);
        m.values.assign(info.begin() + pos, info.begin() + pos + take);
        m.complete = take == len;
        pos += take;
        msgs.push_back(m);
    }
    return msgs;
}

const char* ControlTypeName(uint8_t type)
{
    switch (type & 0xFC) {
    case 0x10: return "NSC";
    case 0x20: return "Test";
    case 0x40: return "PSC";
    case 0x50: return "RLS";
    case 0x60: return "FCoff";
    case 0x80: return "PN";
    case 0x90: return "RPN";
    case 0xA0: return "FCon";
    case 0xC0: return "CLD";
    case 0xD0: return "SNC";
    case 0xE0: return "MSC";
    default: return nullptr;
    }
}

std::vector<uint8_t> BuildControlMessage(uint8_t typeOctet, const std::vector<uint8_t>& values)
{
    std::vector<uint8_t> m;
    m.push_back(typeOctet);
    AppendLength(m, values.size());
    m.insert(m.end(), values.begin(), values.end());
    return m;
}

// ---- FrameCutter ----

void FrameCutter::Feed(uint8_t o)
{
    switch (state_) {
    case Hunt:
        if (o == kFlag) {
            FlushNoise();
            cur_.assign(1, o);
            state_ = Address;
        } else {
            noise_.push_back(o);
        }
        return;
    case Address:
        if (o == kFlag) {
            cur_.assign(1, o);  // flags between frames: the last one opens
            return;
        }
        cur_.push_back(o);
        if (!(o & kEa)) {
            Broken();
            return;
        }
        state_ = Control;
        return;
    case Control:
        cur_.push_back(o);
        state_ = Length1;
        return;
    case Length1:
        cur_.push_back(o);
        remaining_ = o >> 1;
        if (!(o & 1)) {
            state_ = Length2;
            return;
        }
        break;
    case Length2:
        cur_.push_back(o);
        remaining_ |= size_t(o) << 7;
        break;
    case Info:
        cur_.push_back(o);
        if (--remaining_ == 0) state_ = Fcs;
        return;
    case Fcs:
        cur_.push_back(o);
        state_ = Close;
        return;
    case Close:
        cur_.push_back(o);
        if (o != kFlag) {
            Broken();
            return;
        }
        if (onFrame) onFrame(cur_);
        // The closing flag may open the next frame.
        cur_.assign(1, o);
        state_ = Address;
        return;
    }
    // After the length octet(s).
    if (remaining_ > maxInfo) {
        Broken();
        return;
    }
    state_ = remaining_ ? Info : Fcs;
}

void FrameCutter::Broken()
{
    noise_.insert(noise_.end(), cur_.begin(), cur_.end());
    cur_.clear();
    state_ = Hunt;
}

void FrameCutter::FlushNoise()
{
    if (noise_.empty()) return;
    std::vector<uint8_t> n;
    n.swap(noise_);
    if (onNoise) onNoise(n);
}

void FrameCutter::Reset()
{
    if (state_ != Hunt && !(state_ == Address && cur_.size() == 1)) Broken();
    state_ = Hunt;
    cur_.clear();
    FlushNoise();
}

std::string Hex(const std::vector<uint8_t>& octets)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < octets.size(); ++i) {
        snprintf(buf, sizeof buf, "%02X", octets[i]);
        if (i) s += ' ';
        s += buf;
    }
    return s;
}

}  // namespace sim
