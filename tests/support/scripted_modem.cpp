#include "scripted_modem.h"

#include "framing/frame.h"
#include "host.h"
#include "kernel.h"

using plat::kernel::Lock;
using plat::kernel::Mutex;

namespace {
const char kCmux[] = "AT+CMUX=0,0,7\r\n";
}

ScriptedModem::ScriptedModem(sim::ModuleLines& lines, const ModemScript& script)
    : lines_(lines), script_(script), uart_(std::make_unique<plat::serial::SimUart>(u"COM9:"))
{
    Lock lock(Mutex());
    uart_->AttachPeer(this);
    resetsSeen_ = lines_.ResetsSeen();
    EnterAtMode();
    lines_.SetObserver([this] {
        // A new reset sequence reboots the module into AT mode.
        if (lines_.ResetsSeen() != resetsSeen_) {
            resetsSeen_ = lines_.ResetsSeen();
            EnterAtMode();
        }
    });
}

ScriptedModem::~ScriptedModem()
{
    Lock lock(Mutex());
    lines_.SetObserver(nullptr);
    for (uint64_t id : timers_) plat::kernel::Cancel(id);
    if (trafficTimer_ != 0) plat::kernel::Cancel(trafficTimer_);
    uart_->AttachPeer(nullptr);
    uart_.reset();
}

void ScriptedModem::EnterAtMode()
{
    mux_ = false;
    dlci0Up_ = false;
    at_.clear();
    rx_.clear();
    inFrame_ = false;
    uart_->SetPeerBaud(115200);
}

void ScriptedModem::EnterMuxMode()
{
    mux_ = true;
    rx_.clear();
    inFrame_ = false;
    uart_->SetPeerBaud(460800);
    if (!script_.afterSwitch.empty()) uart_->SendToHost(script_.afterSwitch);
}

std::vector<HostFrame> ScriptedModem::Frames() const
{
    Lock lock(Mutex());
    return frames_;
}

std::string ScriptedModem::AtText() const
{
    Lock lock(Mutex());
    return atAll_;
}

uint64_t ScriptedModem::CmuxAtMs() const
{
    Lock lock(Mutex());
    return cmuxAtMs_;
}

uint32_t ScriptedModem::CmuxHostBaud() const
{
    Lock lock(Mutex());
    return cmuxBaud_;
}

unsigned ScriptedModem::CmuxCount() const
{
    Lock lock(Mutex());
    return cmuxCount_;
}

bool ScriptedModem::InMuxMode() const
{
    Lock lock(Mutex());
    return mux_;
}

void ScriptedModem::SendFrame(uint8_t dlci, uint8_t control, const std::vector<uint8_t>& info,
                              uint64_t notBeforeMs)
{
    std::vector<uint8_t> f;
    const uint8_t header[3] = {static_cast<uint8_t>((dlci << 2) | 0x03), control,
                               static_cast<uint8_t>((info.size() << 1) | 1)};
    f.push_back(0xF9);
    f.insert(f.end(), header, header + 3);
    f.insert(f.end(), info.begin(), info.end());
    f.push_back(ComputeFCS(header, 3));
    f.push_back(0xF9);
    SendRaw(f, notBeforeMs);
}

void ScriptedModem::SendRaw(const std::vector<uint8_t>& octets, uint64_t notBeforeMs)
{
    uart_->SendToHost(octets, notBeforeMs);
}

void ScriptedModem::OctetFromHost(uint8_t octet, bool garbled)
{
    if (!mux_) {
        if (garbled) return;
        at_.push_back(static_cast<char>(octet));
        atAll_.push_back(static_cast<char>(octet));
        if (at_.size() >= sizeof(kCmux) - 1 &&
            at_.compare(at_.size() - (sizeof(kCmux) - 1), sizeof(kCmux) - 1, kCmux) == 0) {
            at_.clear();
            cmuxAtMs_ = plat::NowMs();
            cmuxBaud_ = uart_->HostBaud();
            cmuxCount_++;
            uint64_t at = plat::NowMs() + script_.answerDelayMs;
            if (script_.answerCmux) {
                for (const auto& piece : script_.cmuxAnswer) {
                    uart_->SendToHost(std::vector<uint8_t>(piece.begin(), piece.end()), at);
                    at += script_.pieceGapMs;
                }
            }
            if (script_.muxAfterCommand) {
                uint64_t switchAt = script_.answerCmux ? uart_->ToHostIdleAtMs() + 1 : plat::NowMs();
                unsigned resets = resetsSeen_;
                timers_.push_back(plat::kernel::CallAt(switchAt, [this, resets] {
                    if (resets == resetsSeen_ && !mux_) EnterMuxMode();
                }));
            }
        }
        return;
    }
    if (garbled) return;
    // 27.010 basic option: flag, address, control, length, info, FCS, flag.
    if (!inFrame_) {
        if (octet == 0xF9) {
            inFrame_ = true;
            rx_.assign(1, octet);
        }
        return;
    }
    if (octet == 0xF9 && rx_.size() == 1) return;  // repeated opening flag
    rx_.push_back(octet);
    if (rx_.size() >= 4) {
        size_t need = 4 + (rx_[3] >> 1) + 2;
        if (rx_.size() == need) {
            OnFrame(rx_);
            inFrame_ = false;
            rx_.clear();
        }
    }
}

void ScriptedModem::OnFrame(const std::vector<uint8_t>& frame)
{
    HostFrame f{plat::NowMs(), frame};
    frames_.push_back(f);
    uint8_t control = static_cast<uint8_t>(frame[2] | 0x10);
    uint8_t dlci = frame[1] >> 2;
    if (dlci == 0 && control == 0x3F) dlci0Up_ = true;
    bool answer = (control == 0x3F && script_.answerSabm) || (control == 0x53 && script_.answerDisc);
    if (answer) {
        uint64_t at = plat::NowMs() + script_.uaDelayMs;
        timers_.push_back(plat::kernel::CallAt(at, [this, dlci] {
            if (mux_) SendFrame(dlci, 0x73);
        }));
    }
}

void ScriptedModem::StartTraffic(uint32_t periodMs,
                                 std::function<std::vector<uint8_t>(unsigned)> frame)
{
    Lock lock(Mutex());
    traffic_ = std::move(frame);
    trafficPeriodMs_ = periodMs;
    if (trafficTimer_ == 0)
        trafficTimer_ = plat::kernel::CallAt(plat::NowMs() + periodMs, [this] { TrafficTick(); });
}

void ScriptedModem::StopTraffic()
{
    Lock lock(Mutex());
    if (trafficTimer_ != 0) plat::kernel::Cancel(trafficTimer_);
    trafficTimer_ = 0;
    traffic_ = nullptr;
}

void ScriptedModem::TrafficTick()
{
    trafficTimer_ = 0;
    if (!traffic_) return;
    if (mux_ && dlci0Up_) {
        std::vector<uint8_t> f = traffic_(trafficCount_++);
        if (!f.empty()) SendRaw(f);
    }
    trafficTimer_ = plat::kernel::CallAt(plat::NowMs() + trafficPeriodMs_, [this] { TrafficTick(); });
}
