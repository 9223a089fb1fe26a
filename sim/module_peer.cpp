// The module as the 27.010 peer: frames from the host, answers to SABM and
// DISC, and the control channel on DLCI 0.
#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel.h"

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
    Write(BuildFrame(0, false, kUih, message));
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
                std::vector<uint8_t> v = m.values;
                if (v.size() < 2) {
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

}  // namespace sim
