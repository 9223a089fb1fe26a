// The module as the 27.010 peer: frames from the host, answers to SABM and
// DISC, and the control channel on DLCI 0.
#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"

namespace sim {

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
        if (f.dlci == 0 && closingMux_) LeaveMux();
        break;
    case kDm: open_ &= ~(uint64_t(1) << f.dlci); break;
    case kUih:
        if (f.dlci == 0) {
            OnControl(f.info);
        } else {
            auto& buf = dataFromHost_[f.dlci];
            buf.insert(buf.end(), f.info.begin(), f.info.end());
            TrimOldest(buf, settings_.dataFromHostLimit);
            NoteHostData(f.dlci);
            if (userData_) userData_(f.dlci, f.info);
            if (DlciBit(open_, f.dlci)) ModemInput(f.dlci, f.info);
        }
        break;
    default: break;
    }
}

void ModuleSerial::AnswerConnect(int dlci, uint8_t control, bool disc)
{
    if (DlciBit(settings_.noUaDlcis, dlci)) return;
    if (disc && DlciBit(settings_.noUaOnDiscDlcis, dlci)) return;
    const bool pf = (control & kPf) != 0;
    uint8_t answer;
    if (DlciBit(settings_.dmDlcis, dlci)) {
        answer = static_cast<uint8_t>(kDm | (pf ? kPf : 0));
    } else {
        const bool f = pf && !DlciBit(settings_.uaWithoutFDlcis, dlci);
        answer = static_cast<uint8_t>(kUa | (f ? kPf : 0));
    }
    const bool ua = (answer & ~kPf & 0xFF) == kUa;
    Later(settings_.uaDelayMs, [this, dlci, answer, ua, disc] {
        if (mode_ != Mode::Mux) return;
        Write(BuildFrame(dlci, true, answer));
        const uint64_t bit = uint64_t(1) << dlci;
        if (ua && !disc) open_ |= bit;
        if (ua && !disc && dlci == 0) dlci0Connected_ = true;
        if (ua && !disc) ModemConnected(dlci);
        // A DLC starts, and ends, without flow control either way.
        if (ua) hostStopped_ &= ~bit;
        if (ua) moduleStopped_ &= ~bit;
        if (ua) moduleStopAcked_ &= ~bit;
        if (disc) open_ &= ~bit;
        if (disc) ModemDisconnected(dlci);
        if (disc && dlci == 0) LeaveMux();
    });
}

void ModuleSerial::LeaveMux()
{
    // Back to AT command mode once what we sent has left the line.
    const uint64_t idle = uart_->ToHostIdleAtMs();
    const uint64_t now = plat::NowMs();
    closingMux_ = false;
    Later(static_cast<uint32_t>(idle > now ? idle - now : 0), [this] {
        if (mode_ != Mode::Mux) return;
        mode_ = Mode::AtCommand;
        cutter_.Reset();
        open_ = 0;
        hostStopped_ = 0;
        moduleStopped_ = moduleStopAcked_ = 0;
        fcOffSent_ = fcOffAcked_ = false;
        ModemsOff();
        uart_->SetPeerBaud(settings_.atBaud);
    });
}

void ModuleSerial::SendControl(const std::vector<uint8_t>& message)
{
    Write(BuildFrame(0, false, kUih, message));
}

// The answer to one control command (empty: none); *closeDown for CLD.
std::vector<uint8_t> ModuleSerial::ControlAnswer(const ControlMessage& m, bool* closeDown)
{
    switch (m.type) {
    case 0xD0: {  // SNC: the DLCI octet and service octets as asked
        if (!settings_.answerSnc || m.values.empty()) return {};
        std::vector<uint8_t> v = m.values;
        if (v.size() < 2) {
            v.push_back(0x03);  // data service
            v.push_back(0x01);  // no voice codec
        }
        return BuildControlMessage(0xD1, v);
    }
    case 0xE0: {  // MSC
        if (!settings_.answerMsc || m.values.empty()) return {};
        const uint8_t dlciOctet = static_cast<uint8_t>((m.values[0] & 0xFC) | 0x03);
        const int dlci = m.values[0] >> 2;
        if (m.values.size() >= 2) HostFlow(dlci, (m.values[1] & 0x02) != 0);
        return BuildControlMessage(0xE1, {dlciOctet, V24For(dlci)});
    }
    case 0x20:  // Test: echo
        return BuildControlMessage(0x21, m.values);
    case 0x40:  // PSC
    case 0x60:  // FCoff
    case 0xA0:  // FCon
        return BuildControlMessage(static_cast<uint8_t>(m.type | 0x01), {});
    case 0xC0:  // CLD
        *closeDown = true;
        return BuildControlMessage(0xC1, {});
    default:
        if (settings_.nscForUnknown) return BuildControlMessage(0x11, {m.typeOctet});
        return {};
    }
}

void ModuleSerial::OnControl(const std::vector<uint8_t>& info)
{
    const uint64_t now = plat::NowMs();
    for (const ControlMessage& m : DecodeControlMessages(info)) {
        controlFromHost_.push_back(HostControlMessage{now, m});
        if (!m.command) {  // a response to one of ours: kept, not answered
            if (m.type == 0xC0 && closingMux_) LeaveMux();
            NoteHostResponse(m);
            continue;
        }
        bool closeDown = false;
        std::vector<uint8_t> answer = ControlAnswer(m, &closeDown);
        if (answer.empty()) continue;
        auto repeat = settings_.repeatResponse.find(m.type);
        if (repeat != settings_.repeatResponse.end()) {
            const std::vector<uint8_t> one = answer;
            for (uint32_t i = 1; i < repeat->second; ++i) answer.insert(answer.end(), one.begin(), one.end());
        }
        const uint8_t type = m.type;
        Later(settings_.ctrlReplyDelayMs, [this, answer, closeDown, type] {
            if (mode_ != Mode::Mux) return;
            SendControl(answer);
            if (closeDown) LeaveMux();
            AfterResponse(type, answer);
        });
    }
}

// The faults that follow a response of ours: a late duplicate, and a close
// of the multiplexer right after the n-th response of a type.
void ModuleSerial::AfterResponse(uint8_t type, const std::vector<uint8_t>& answer)
{
    auto late = settings_.lateDuplicateMs.find(type);
    if (late != settings_.lateDuplicateMs.end()) {
        Later(late->second, [this, answer] {
            if (mode_ == Mode::Mux) SendControl(answer);
        });
    }
    const unsigned count = ++responsesSent_[type];
    for (const CloseAfter& c : settings_.closeAfter)
        if (c.type == type && c.nth == count) CloseMux(c.cld);
}

// The module ends the multiplexer itself: DISC or CLD on DLCI 0, then back to
// AT commands once the host has answered, or after kCloseWaitMs without.
void ModuleSerial::CloseMux(bool cld)
{
    const uint32_t kCloseWaitMs = 1000;
    if (cld) SendControl(BuildControlMessage(0xC3, {}));
    else Write(BuildFrame(0, false, kDisc | kPf));
    closingMux_ = true;
    Later(kCloseWaitMs, [this] {
        if (closingMux_) LeaveMux();
    });
}

// Frames on DLCI 0 that nobody asked for, at the times the settings name.
void ModuleSerial::ScheduleControlFaults()
{
    auto at = [this](uint64_t atMs, std::function<void()> fn) {
        scheduled_.push_back(plat::kernel::CallAt(atMs, [this, fn] {
            if (mode_ == Mode::Mux) fn();
        }));
    };
    for (uint64_t t : settings_.strayUaAtMs) at(t, [this] { Write(BuildFrame(0, true, kUa | kPf)); });
    for (uint64_t t : settings_.strayDmAtMs) at(t, [this] { Write(BuildFrame(0, true, kDm | kPf)); });
    for (const UihBurst& b : settings_.uihBursts) {
        at(b.atMs, [this, b] {
            for (uint32_t i = 0; i < b.count; ++i) SendControl(settings_.burstInfo);
        });
    }
}

}  // namespace sim
