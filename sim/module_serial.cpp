#include "module_serial.h"

#include "platform/host.h"
#include "platform/kernel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace sim {

using plat::kernel::Lock;
using plat::kernel::Mutex;

namespace {

bool Bit(uint64_t set, int dlci) { return dlci >= 0 && dlci < 64 && ((set >> dlci) & 1u); }

// The +CMUX port speed values.
uint32_t CmuxSpeed(int value)
{
    switch (value) {
    case 1: return 9600;
    case 2: return 19200;
    case 3: return 38400;
    case 4: return 57600;
    case 5: return 115200;
    case 6: return 230400;
    case 7: return 460800;
    case 8: return 921600;
    default: return 0;
    }
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (std::isspace(static_cast<unsigned char>(s[b])) || s[b] == '\n')) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string Upper(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

ModuleSerial::ModuleSerial(const SerialSettings& settings, ModuleLines& lines)
    : settings_(settings), lines_(lines), uart_(std::make_unique<plat::serial::SimUart>())
{
    Lock lock(Mutex());
    uart_->AttachPeer(this);
    uart_->SetPeerBaud(settings_.atBaud);
    cutter_.onFrame = [this](const std::vector<uint8_t>& f) { OnFrame(f); };
    cutter_.onNoise = [this](const std::vector<uint8_t>& n) {
        Record(Direction::HostToModule, RecordKind::Noise, n);
    };
    for (const LineEvent& e : settings_.lineEvents) {
        lineTimers_.push_back(plat::kernel::CallAt(e.atMs, [this, e] {
            if (e.errors) uart_->SendLineErrorToHost(e.errors);
            else uart_->SendBreakToHost();
        }));
    }
    lines_.SetObserver([this] { OnLines(); });
    OnLines();
}

ModuleSerial::~ModuleSerial()
{
    Lock lock(Mutex());
    lines_.SetObserver(nullptr);
    CancelReplies();
    for (uint64_t id : lineTimers_) plat::kernel::Cancel(id);
    if (trafficTimer_ != 0) plat::kernel::Cancel(trafficTimer_);
    uart_->AttachPeer(nullptr);
    uart_.reset();
}

ModuleSerial::Mode ModuleSerial::GetMode() const
{
    Lock lock(Mutex());
    return mode_;
}

SerialSettings ModuleSerial::Settings() const
{
    Lock lock(Mutex());
    return settings_;
}

void ModuleSerial::ChangeSettings(const std::function<void(SerialSettings&)>& change)
{
    Lock lock(Mutex());
    change(settings_);
}

// ---- life, following the line half ----

void ModuleSerial::OnLines()
{
    const ModuleState state = lines_.State();
    const unsigned resets = lines_.ResetsSeen();
    const bool rebooted = resets != lastResets_;
    if (state == lastState_ && !rebooted) return;
    lastResets_ = resets;
    if (state == ModuleState::Running && (lastState_ != ModuleState::Running || rebooted)) {
        lastState_ = state;
        Boot();
        return;
    }
    lastState_ = state;
    if (state != ModuleState::Running) PowerDown(Mode::Off);
}

void ModuleSerial::Boot()
{
    PowerDown(Mode::AtCommand);
    uart_->SetPeerBaud(settings_.atBaud);
}

void ModuleSerial::PowerDown(Mode mode)
{
    CancelReplies();
    mode_ = mode;
    atLine_.clear();
    lastAtEndedWithCr_ = false;
    cutter_.Reset();
    open_ = 0;
    hostStopped_ = 0;
    dlci0Connected_ = false;
}

void ModuleSerial::CancelReplies()
{
    for (uint64_t id : timers_) plat::kernel::Cancel(id);
    timers_.clear();
}

void ModuleSerial::Later(uint32_t delayMs, std::function<void()> fn)
{
    if (delayMs == 0) {
        fn();
        return;
    }
    auto id = std::make_shared<uint64_t>(0);
    *id = plat::kernel::CallAt(plat::NowMs() + delayMs, [this, id, fn] {
        timers_.erase(*id);
        fn();
    });
    timers_.insert(*id);
}

// ---- the line ----

void ModuleSerial::Record(Direction dir, RecordKind kind, std::vector<uint8_t> octets)
{
    RecordEntry e;
    e.timeMs = plat::NowMs();
    e.direction = dir;
    e.kind = kind;
    e.octets = std::move(octets);
    record_.push_back(std::move(e));
}

void ModuleSerial::Write(std::vector<uint8_t> octets, RecordKind kind)
{
    ++writes_;
    std::vector<uint8_t> line;
    // Offsets in `line` where a split rule cuts, with its gap.
    std::vector<std::pair<size_t, uint32_t>> cuts;
    std::vector<WriteSplit> rules;
    for (const WriteSplit& s : settings_.splits)
        if (s.write == 0 || s.write == writes_) rules.push_back(s);
    rules.insert(rules.end(), pendingSplits_.begin(), pendingSplits_.end());
    pendingSplits_.clear();
    for (size_t i = 0; i < octets.size(); ++i) {
        for (const WriteSplit& s : rules)
            if (s.at == i && i > 0) cuts.emplace_back(line.size(), s.gapMs);
        const uint64_t index = txIndex_++;
        if (settings_.dropToHost.count(index)) continue;
        uint8_t o = octets[i];
        if (settings_.corruptToHost.count(index)) o ^= settings_.corruptXor;
        line.push_back(o);
    }
    if (line.empty()) return;
    Record(Direction::ModuleToHost, kind, line);
    uint64_t notBefore = 0;
    size_t from = 0;
    for (const auto& cut : cuts) {
        if (cut.first <= from || cut.first >= line.size()) continue;
        uart_->SendToHost(&line[from], cut.first - from, notBefore);
        notBefore = std::max(notBefore, uart_->ToHostIdleAtMs()) + cut.second;
        from = cut.first;
    }
    uart_->SendToHost(&line[from], line.size() - from, notBefore);
    lines_.NoteActivity();
}

void ModuleSerial::OctetFromHost(uint8_t octet, bool garbled)
{
    (void)garbled;
    const uint64_t index = rxIndex_++;
    if (mode_ == Mode::Off || lines_.State() != ModuleState::Running ||
        (settings_.loseOctetsWhileAsleep && lines_.Asleep()) ||
        settings_.dropFromHost.count(index)) {
        ++lost_;
        return;
    }
    if (settings_.corruptFromHost.count(index)) octet ^= settings_.corruptXor;
    ++octetsFromHost_;
    lines_.NoteActivity();
    if (mode_ == Mode::AtCommand) AtOctet(octet);
    else cutter_.Feed(octet);
}

// ---- AT command mode ----

void ModuleSerial::AtOctet(uint8_t o)
{
    if (o == '\n' && atLine_.empty() && lastAtEndedWithCr_ && !record_.empty() &&
        record_.back().direction == Direction::HostToModule &&
        record_.back().kind == RecordKind::At) {
        record_.back().octets.push_back(o);  // the LF after a command's CR
        lastAtEndedWithCr_ = false;
        return;
    }
    lastAtEndedWithCr_ = false;
    atLine_.push_back(static_cast<char>(o));
    if (o == '\r' || atLine_.size() >= 512) {
        std::string line;
        line.swap(atLine_);
        Record(Direction::HostToModule, RecordKind::At,
               std::vector<uint8_t>(line.begin(), line.end()));
        lastAtEndedWithCr_ = o == '\r';
        AtLine(line);
    }
}

void ModuleSerial::AtLine(const std::string& raw)
{
    const std::string cmd = Upper(Trim(raw));
    if (cmd.empty()) return;
    auto reply = [this](const std::string& text, uint32_t delay) {
        Later(delay, [this, text] {
            Write(std::vector<uint8_t>(text.begin(), text.end()), RecordKind::At);
        });
    };
    if (cmd.rfind("AT+CMUX=", 0) == 0) {
        ++cmuxCommands_;
        cmuxHostBaud_ = uart_->HostBaud();
        int values[3] = {-1, 0, 5};  // mode, subset, port speed (default 115200)
        const char* p = cmd.c_str() + 8;
        for (int i = 0; i < 3 && *p; ++i) {
            char* end = nullptr;
            long v = std::strtol(p, &end, 10);
            if (end == p) break;
            values[i] = static_cast<int>(v);
            p = end;
            if (*p != ',') break;
            ++p;
        }
        uint32_t speed = settings_.muxBaud ? settings_.muxBaud : CmuxSpeed(values[2]);
        if (values[0] != 0 || values[1] != 0 || speed == 0) {
            reply("\r\nERROR\r\n", settings_.cmuxReplyDelayMs);
            return;
        }
        if (!settings_.answerCmux) {
            if (settings_.enterMuxWithoutAnswer) {
                Later(settings_.cmuxReplyDelayMs, [this, speed] { SwitchToMux(speed); });
            }
            return;
        }
        const std::string text = settings_.cmuxReply;
        Later(settings_.cmuxReplyDelayMs, [this, text, speed] {
            Write(std::vector<uint8_t>(text.begin(), text.end()), RecordKind::At);
            // The new speed once the answer has left the line.
            const uint64_t idle = uart_->ToHostIdleAtMs();
            const uint64_t now = plat::NowMs();
            Later(static_cast<uint32_t>(idle > now ? idle - now : 0),
                  [this, speed] { SwitchToMux(speed); });
        });
        return;
    }
    if (cmd == "AT" || cmd == "ATZ" || cmd == "ATE0" || cmd == "ATE1" || cmd == "AT&F") {
        reply("\r\nOK\r\n", settings_.cmuxReplyDelayMs);
        return;
    }
    reply("\r\nERROR\r\n", settings_.cmuxReplyDelayMs);
}

void ModuleSerial::SwitchToMux(uint32_t baud)
{
    mode_ = Mode::Mux;
    cutter_.Reset();
    uart_->SetPeerBaud(baud);
    if (!settings_.afterMuxSwitch.empty()) Write(settings_.afterMuxSwitch, RecordKind::Noise);
}

// ---- the 27.010 peer ----

uint8_t ModuleSerial::V24For(int dlci) const
{
    auto it = settings_.v24ForDlci.find(dlci);
    return it != settings_.v24ForDlci.end() ? it->second : settings_.v24;
}

void ModuleSerial::OnFrame(const std::vector<uint8_t>& raw)
{
    Record(Direction::HostToModule, RecordKind::Frame, raw);
    DecodedFrame f;
    if (!DecodeFrame(raw, &f)) return;
    if (!f.fcsOk) {
        ++badFcs_;
        return;
    }
    const uint8_t type = f.control & ~kPf & 0xFF;
    switch (type) {
    case kSabm: AnswerConnect(f.dlci, f.control, false); break;
    case kDisc: AnswerConnect(f.dlci, f.control, true); break;
    case kUa:  // the host's answer to a SABM or DISC of ours
        break;
    case kDm: open_ &= ~(uint64_t(1) << f.dlci); break;
    case kUih:
        if (f.dlci == 0) {
            OnControl(f.info);
        } else {
            auto& buf = dataFromHost_[f.dlci];
            buf.insert(buf.end(), f.info.begin(), f.info.end());
            if (userData_) userData_(f.dlci, f.info);
        }
        break;
    default: break;
    }
}

void ModuleSerial::AnswerConnect(int dlci, uint8_t control, bool disc)
{
    if (Bit(settings_.noUaDlcis, dlci)) return;
    if (disc && Bit(settings_.noUaOnDiscDlcis, dlci)) return;
    const bool pf = (control & kPf) != 0;
    uint8_t answer;
    if (Bit(settings_.dmDlcis, dlci)) {
        answer = static_cast<uint8_t>(kDm | (pf ? kPf : 0));
    } else {
        const bool f = pf && !Bit(settings_.uaWithoutFDlcis, dlci);
        answer = static_cast<uint8_t>(kUa | (f ? kPf : 0));
    }
    const bool ua = (answer & ~kPf & 0xFF) == kUa;
    Later(settings_.uaDelayMs, [this, dlci, answer, ua, disc] {
        if (mode_ != Mode::Mux) return;
        Write(BuildFrame(dlci, true, answer), RecordKind::Frame);
        const uint64_t bit = uint64_t(1) << dlci;
        if (ua && !disc) open_ |= bit;
        if (ua && !disc && dlci == 0) dlci0Connected_ = true;
        if (disc) open_ &= ~bit;
        if (disc && dlci == 0) LeaveMux();
    });
}

void ModuleSerial::LeaveMux()
{
    // Back to AT command mode once what we sent has left the line.
    const uint64_t idle = uart_->ToHostIdleAtMs();
    const uint64_t now = plat::NowMs();
    Later(static_cast<uint32_t>(idle > now ? idle - now : 0), [this] {
        if (mode_ != Mode::Mux) return;
        mode_ = Mode::AtCommand;
        cutter_.Reset();
        open_ = 0;
        hostStopped_ = 0;
        uart_->SetPeerBaud(settings_.atBaud);
    });
}

void ModuleSerial::SendControl(const std::vector<uint8_t>& message)
{
    Write(BuildFrame(0, false, kUih, message), RecordKind::Frame);
}

void ModuleSerial::OnControl(const std::vector<uint8_t>& info)
{
    const uint64_t now = plat::NowMs();
    for (const ControlMessage& m : DecodeControlMessages(info)) {
        controlFromHost_.push_back(HostControlMessage{now, m});
        if (!m.command) continue;  // a response to one of ours: kept, not answered
        std::vector<uint8_t> answer;
        bool closeDown = false;
        switch (m.type) {
        case 0xD0:  // SNC
            if (!settings_.answerSnc || m.values.empty()) break;
            {
                std::vector<uint8_t> v;
                v.push_back(m.values[0]);
                if (m.values.size() >= 2) {
                    v.insert(v.end(), m.values.begin() + 1, m.values.end());
                } else {
                    v.push_back(0x03);  // data service
                    v.push_back(0x01);  // no voice codec
                }
                answer = BuildControlMessage(0xD1, v);
            }
            break;
        case 0xE0:  // MSC
            if (!settings_.answerMsc || m.values.empty()) break;
            {
                const uint8_t dlciOctet = static_cast<uint8_t>((m.values[0] & 0xFC) | 0x03);
                const int dlci = m.values[0] >> 2;
                if (m.values.size() >= 2) {
                    const uint64_t bit = uint64_t(1) << dlci;
                    if (m.values[1] & 0x02) hostStopped_ |= bit;
                    else hostStopped_ &= ~bit;
                }
                answer = BuildControlMessage(0xE1, {dlciOctet, V24For(dlci)});
            }
            break;
        case 0x20:  // Test: echo
            answer = BuildControlMessage(0x21, m.values);
            break;
        case 0x40:  // PSC
        case 0x60:  // FCoff
        case 0xA0:  // FCon
            answer = BuildControlMessage(static_cast<uint8_t>(m.type | 0x01), {});
            break;
        case 0xC0:  // CLD
            answer = BuildControlMessage(0xC1, {});
            closeDown = true;
            break;
        default:
            if (settings_.nscForUnknown) answer = BuildControlMessage(0x11, {m.typeOctet});
            break;
        }
        if (answer.empty()) continue;
        Later(settings_.ctrlReplyDelayMs, [this, answer, closeDown] {
            if (mode_ != Mode::Mux) return;
            SendControl(answer);
            if (closeDown) LeaveMux();
        });
    }
}

// ---- what happened ----

FrameRecord ModuleSerial::Record() const
{
    Lock lock(Mutex());
    return record_;
}

void ModuleSerial::ClearRecord()
{
    Lock lock(Mutex());
    record_.clear();
}

bool ModuleSerial::DlciOpen(int dlci) const
{
    Lock lock(Mutex());
    return Bit(open_, dlci);
}

bool ModuleSerial::HostStoppedFlow(int dlci) const
{
    Lock lock(Mutex());
    return Bit(hostStopped_, dlci);
}

std::vector<uint8_t> ModuleSerial::DataFromHost(int dlci) const
{
    Lock lock(Mutex());
    auto it = dataFromHost_.find(dlci);
    return it != dataFromHost_.end() ? it->second : std::vector<uint8_t>();
}

std::vector<HostControlMessage> ModuleSerial::ControlFromHost() const
{
    Lock lock(Mutex());
    return controlFromHost_;
}

uint64_t ModuleSerial::OctetsFromHost() const
{
    Lock lock(Mutex());
    return octetsFromHost_;
}

uint64_t ModuleSerial::OctetsLost() const
{
    Lock lock(Mutex());
    return lost_;
}

unsigned ModuleSerial::BadFcsFrames() const
{
    Lock lock(Mutex());
    return badFcs_;
}

unsigned ModuleSerial::CmuxCommands() const
{
    Lock lock(Mutex());
    return cmuxCommands_;
}

uint32_t ModuleSerial::LastCmuxHostBaud() const
{
    Lock lock(Mutex());
    return cmuxHostBaud_;
}

void ModuleSerial::SetUserDataHandler(std::function<void(int, const std::vector<uint8_t>&)> handler)
{
    Lock lock(Mutex());
    userData_ = std::move(handler);
}

// ---- actions ----

void ModuleSerial::SendMsc(int dlci, bool fc)
{
    Lock lock(Mutex());
    uint8_t v24 = static_cast<uint8_t>(V24For(dlci) & ~0x02);
    if (fc) v24 |= 0x02;
    SendControl(BuildControlMessage(0xE3, {static_cast<uint8_t>((dlci << 2) | 0x03), v24}));
}

void ModuleSerial::SendSabm(int dlci)
{
    Lock lock(Mutex());
    Write(BuildFrame(dlci, false, kSabm | kPf), RecordKind::Frame);
}

void ModuleSerial::SendDisc(int dlci)
{
    Lock lock(Mutex());
    Write(BuildFrame(dlci, false, kDisc | kPf), RecordKind::Frame);
}

void ModuleSerial::SendCld()
{
    Lock lock(Mutex());
    SendControl(BuildControlMessage(0xC3, {}));
}

void ModuleSerial::SendUih(int dlci, const std::vector<uint8_t>& info)
{
    Lock lock(Mutex());
    Write(BuildFrame(dlci, false, kUih, info), RecordKind::Frame);
}

void ModuleSerial::SendRaw(const std::vector<uint8_t>& octets, uint64_t atMs)
{
    Lock lock(Mutex());
    auto send = [this, octets] {
        DecodedFrame f;
        Write(octets, DecodeFrame(octets, &f) ? RecordKind::Frame : RecordKind::Noise);
    };
    const uint64_t now = plat::NowMs();
    if (atMs > now) Later(static_cast<uint32_t>(atMs - now), send);
    else send();
}

void ModuleSerial::SendBreak(uint64_t atMs)
{
    Lock lock(Mutex());
    uart_->SendBreakToHost(atMs);
}

void ModuleSerial::SendLineError(uint32_t errors, bool withOctet, uint8_t octet, uint64_t atMs)
{
    Lock lock(Mutex());
    uart_->SendLineErrorToHost(errors, withOctet, octet, atMs);
}

void ModuleSerial::StartTraffic(uint32_t periodMs,
                                std::function<std::vector<uint8_t>(unsigned)> frame)
{
    Lock lock(Mutex());
    traffic_ = std::move(frame);
    trafficPeriodMs_ = periodMs ? periodMs : 1;
    if (trafficTimer_ == 0)
        trafficTimer_ =
            plat::kernel::CallAt(plat::NowMs() + trafficPeriodMs_, [this] { TrafficTick(); });
}

void ModuleSerial::StopTraffic()
{
    Lock lock(Mutex());
    if (trafficTimer_ != 0) plat::kernel::Cancel(trafficTimer_);
    trafficTimer_ = 0;
    traffic_ = nullptr;
}

void ModuleSerial::TrafficTick()
{
    trafficTimer_ = 0;
    if (!traffic_) return;
    if (mode_ != Mode::Off && lines_.State() == ModuleState::Running && dlci0Connected_) {
        std::vector<uint8_t> octets = traffic_(trafficCount_++);
        if (!octets.empty()) {
            DecodedFrame f;
            Write(octets, DecodeFrame(octets, &f) ? RecordKind::Frame : RecordKind::Noise);
        }
    }
    trafficTimer_ =
        plat::kernel::CallAt(plat::NowMs() + trafficPeriodMs_, [this] { TrafficTick(); });
}

void ModuleSerial::SplitNextWrite(uint32_t at, uint32_t gapMs)
{
    Lock lock(Mutex());
    pendingSplits_.push_back(WriteSplit{0, at, gapMs});
}

void ModuleSerial::EnterMux(uint32_t baud)
{
    Lock lock(Mutex());
    CancelReplies();
    mode_ = Mode::Mux;
    cutter_.Reset();
    uart_->SetPeerBaud(baud);
}

// ---- settings by name ----

namespace {

bool ParseU64(const std::string& v, uint64_t* out)
{
    if (v.empty()) return false;
    char* end = nullptr;
    unsigned long long x = std::strtoull(v.c_str(), &end, 0);
    if (*end) return false;
    *out = x;
    return true;
}

bool ParseBool(const std::string& v, bool* out)
{
    const std::string u = Upper(v);
    if (u == "1" || u == "TRUE" || u == "YES" || u == "ON") return *out = true, true;
    if (u == "0" || u == "FALSE" || u == "NO" || u == "OFF") return *out = false, true;
    return false;
}

std::vector<std::string> SplitList(const std::string& v, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = v.find(sep, start);
        parts.push_back(v.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}

// A DLCI bit set: a plain number is the mask itself, a list with commas
// (or a single value ending in ',') names DLCIs.
bool ParseDlciSet(const std::string& v, uint64_t* out)
{
    if (v.find(',') == std::string::npos) return ParseU64(v, out);
    uint64_t set = 0;
    for (const std::string& part : SplitList(v, ',')) {
        if (part.empty()) continue;
        uint64_t d;
        if (!ParseU64(part, &d) || d > 63) return false;
        set |= uint64_t(1) << d;
    }
    *out = set;
    return true;
}

bool ParseIndexSet(const std::string& v, std::set<uint64_t>* out)
{
    for (const std::string& part : SplitList(v, ',')) {
        uint64_t x;
        if (!ParseU64(part, &x)) return false;
        out->insert(x);
    }
    return true;
}

}  // namespace

bool ApplySerialSetting(SerialSettings& s, const std::string& key, const std::string& value,
                        std::string* error)
{
    auto fail = [&](const char* what) {
        if (error) *error = "module setting " + key + ": " + what + " '" + value + "'";
        return false;
    };
    uint64_t n = 0;
    auto u32 = [&](uint32_t* dst) {
        if (!ParseU64(value, &n) || n > 0xFFFFFFFFull) return fail("not a number");
        *dst = static_cast<uint32_t>(n);
        return true;
    };
    auto flag = [&](bool* dst) { return ParseBool(value, dst) ? true : fail("not a boolean"); };
    auto dlcis = [&](uint64_t* dst) {
        return ParseDlciSet(value, dst) ? true : fail("not a DLCI set");
    };
    auto indices = [&](std::set<uint64_t>* dst) {
        return ParseIndexSet(value, dst) ? true : fail("not a list of octet numbers");
    };
    if (key == "atBaud") return u32(&s.atBaud);
    if (key == "answerCmux") return flag(&s.answerCmux);
    if (key == "enterMuxWithoutAnswer") return flag(&s.enterMuxWithoutAnswer);
    if (key == "cmuxReply") {
        // C escapes \r \n \\ for the shell's sake.
        std::string out;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) {
                const char c = value[++i];
                out += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
            } else {
                out += value[i];
            }
        }
        s.cmuxReply = out;
        return true;
    }
    if (key == "cmuxReplyDelayMs") return u32(&s.cmuxReplyDelayMs);
    if (key == "muxBaud") return u32(&s.muxBaud);
    if (key == "afterMuxSwitch") {
        for (const std::string& part : SplitList(value, ',')) {
            if (!ParseU64(part, &n) || n > 0xFF) return fail("not a list of octets");
            s.afterMuxSwitch.push_back(static_cast<uint8_t>(n));
        }
        return true;
    }
    if (key == "uaDelayMs") return u32(&s.uaDelayMs);
    if (key == "noUaDlcis") return dlcis(&s.noUaDlcis);
    if (key == "noUaOnDiscDlcis") return dlcis(&s.noUaOnDiscDlcis);
    if (key == "dmDlcis") return dlcis(&s.dmDlcis);
    if (key == "uaWithoutFDlcis") return dlcis(&s.uaWithoutFDlcis);
    if (key == "ctrlReplyDelayMs") return u32(&s.ctrlReplyDelayMs);
    if (key == "answerSnc") return flag(&s.answerSnc);
    if (key == "answerMsc") return flag(&s.answerMsc);
    if (key == "nscForUnknown") return flag(&s.nscForUnknown);
    if (key == "v24") {
        if (!ParseU64(value, &n) || n > 0xFF) return fail("not an octet");
        s.v24 = static_cast<uint8_t>(n);
        return true;
    }
    if (key == "v24ForDlci") {
        auto parts = SplitList(value, ':');
        uint64_t d, v;
        if (parts.size() != 2 || !ParseU64(parts[0], &d) || d > 63 || !ParseU64(parts[1], &v) ||
            v > 0xFF)
            return fail("expected DLCI:V24 in");
        s.v24ForDlci[static_cast<int>(d)] = static_cast<uint8_t>(v);
        return true;
    }
    if (key == "split") {
        auto parts = SplitList(value, ':');
        uint64_t w, at, gap;
        if (parts.size() != 3 || !ParseU64(parts[0], &w) || !ParseU64(parts[1], &at) ||
            !ParseU64(parts[2], &gap))
            return fail("expected WRITE:AT:GAP in");
        s.splits.push_back(WriteSplit{static_cast<uint32_t>(w), static_cast<uint32_t>(at),
                                      static_cast<uint32_t>(gap)});
        return true;
    }
    if (key == "dropToHost") return indices(&s.dropToHost);
    if (key == "corruptToHost") return indices(&s.corruptToHost);
    if (key == "dropFromHost") return indices(&s.dropFromHost);
    if (key == "corruptFromHost") return indices(&s.corruptFromHost);
    if (key == "corruptXor") {
        if (!ParseU64(value, &n) || n == 0 || n > 0xFF) return fail("not a non-zero octet");
        s.corruptXor = static_cast<uint8_t>(n);
        return true;
    }
    if (key == "lineEvent") {
        auto parts = SplitList(value, ':');
        uint64_t at, e;
        if (parts.size() != 2 || !ParseU64(parts[0], &at) || !ParseU64(parts[1], &e))
            return fail("expected AT_MS:ERRORS in");
        s.lineEvents.push_back(LineEvent{at, static_cast<uint32_t>(e)});
        return true;
    }
    if (key == "loseOctetsWhileAsleep") return flag(&s.loseOctetsWhileAsleep);
    if (error) *error = "unknown module setting '" + key + "'";
    return false;
}

std::vector<SettingHelp> DescribeSerialSettings()
{
    const SerialSettings d;
    auto num = [](uint64_t v) { return std::to_string(v); };
    auto hex = [](uint64_t v) {
        char b[24];
        snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
        return std::string(b);
    };
    auto yn = [](bool b) { return std::string(b ? "true" : "false"); };
    return {
        {"atBaud", num(d.atBaud), "speed of the AT command mode after boot"},
        {"answerCmux", yn(d.answerCmux), "answer AT+CMUX (false: stay silent)"},
        {"enterMuxWithoutAnswer", yn(d.enterMuxWithoutAnswer),
         "with answerCmux=false, switch to 27.010 all the same"},
        {"cmuxReply", "\\r\\nOK\\r\\n", "text of the AT+CMUX answer (\\r \\n escapes)"},
        {"cmuxReplyDelayMs", num(d.cmuxReplyDelayMs), "AT command to its answer, ms"},
        {"muxBaud", num(d.muxBaud), "27.010 speed; 0 = as AT+CMUX asks (7 = 460800)"},
        {"afterMuxSwitch", "", "octets (list) sent at the new speed right after the AT+CMUX switch"},
        {"uaDelayMs", num(d.uaDelayMs), "SABM/DISC to the answer, ms"},
        {"noUaDlcis", hex(d.noUaDlcis), "DLCIs whose SABM and DISC get no answer (mask or list 0,2,)"},
        {"noUaOnDiscDlcis", hex(d.noUaOnDiscDlcis), "DLCIs whose DISC gets no answer"},
        {"dmDlcis", hex(d.dmDlcis), "DLCIs answered with DM instead of UA"},
        {"uaWithoutFDlcis", hex(d.uaWithoutFDlcis), "DLCIs answered with UA, F = 0"},
        {"ctrlReplyDelayMs", num(d.ctrlReplyDelayMs), "control command to its response, ms"},
        {"answerSnc", yn(d.answerSnc), "answer SNC commands"},
        {"answerMsc", yn(d.answerMsc), "answer MSC commands"},
        {"nscForUnknown", yn(d.nscForUnknown), "answer unknown control commands with NSC"},
        {"v24", hex(d.v24), "V.24 octet of MSC responses and commands"},
        {"v24ForDlci", "", "DLCI:V24, per-DLCI V.24 octet (repeatable)"},
        {"split", "", "WRITE:AT:GAP, cut module write WRITE (1-based, 0 = all) at octet AT, "
                      "rest GAP ms later (repeatable)"},
        {"dropToHost", "", "module->host octet numbers to drop (list)"},
        {"corruptToHost", "", "module->host octet numbers to corrupt (list)"},
        {"dropFromHost", "", "host->module octet numbers to drop (list)"},
        {"corruptFromHost", "", "host->module octet numbers to corrupt (list)"},
        {"corruptXor", hex(d.corruptXor), "XOR applied to a corrupted octet"},
        {"lineEvent", "", "AT_MS:ERRORS, a line error (CE_ bits) or break (0) at a time (repeatable)"},
        {"loseOctetsWhileAsleep", yn(d.loseOctetsWhileAsleep), "a sleeping module loses input"},
    };
}

}  // namespace sim
