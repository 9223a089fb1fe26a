// Flow control between the module and the host: the host's MSC FC on a
// user DLCI holds what the module has for it (bounded, and said so when the
// hold overflows); the module's own MSC FC and FCoff, and a count of the
// host's frames that broke them once the host had answered.
#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"

#include <algorithm>

namespace sim {

using plat::kernel::Lock;
using plat::kernel::Mutex;

void ModuleSerial::MscCommand(int dlci, bool fc)
{
    uint8_t v24 = static_cast<uint8_t>(V24For(dlci) & ~0x02);
    if (fc) v24 |= 0x02;
    const uint64_t bit = dlci >= 0 && dlci < 64 ? uint64_t(1) << dlci : 0;
    if (fc) {
        moduleStopped_ |= bit;
    } else {
        moduleStopped_ &= ~bit;
        moduleStopAcked_ &= ~bit;
    }
    SendControl(BuildControlMessage(0xE3, {static_cast<uint8_t>((dlci << 2) | 0x03), v24}));
}

void ModuleSerial::ModuleFcOff(bool off)
{
    fcOffSent_ = off;
    if (!off) fcOffAcked_ = false;
    SendControl(BuildControlMessage(off ? 0x63 : 0xA3, {}));
}

// The host's answers to our MSC FC and FCoff: from then on it knows.
void ModuleSerial::NoteHostResponse(const ControlMessage& m)
{
    if (m.type == 0x60 && fcOffSent_) fcOffAcked_ = true;
    if (m.type == 0xE0 && !m.values.empty()) {
        const int dlci = m.values[0] >> 2;
        if (DlciBit(moduleStopped_, dlci)) moduleStopAcked_ |= uint64_t(1) << dlci;
    }
}

void ModuleSerial::NoteHostData(int dlci)
{
    if (fcOffAcked_ || DlciBit(moduleStopAcked_, dlci)) ++framesAgainstFlow_;
}

bool ModuleSerial::HostHolds(int dlci) const
{
    return settings_.honourHostFlow && dlci != 0 && DlciBit(hostStopped_, dlci);
}

void ModuleSerial::HostFlow(int dlci, bool stop)
{
    if (dlci < 0 || dlci > 63) return;
    const uint64_t bit = uint64_t(1) << dlci;
    if (stop) {
        hostStopped_ |= bit;
        return;
    }
    hostStopped_ &= ~bit;
    auto held = held_.find(dlci);
    if (held != held_.end()) {
        std::vector<std::vector<uint8_t>> frames = std::move(held->second);
        held_.erase(held);
        heldOctets_.erase(dlci);
        for (std::vector<uint8_t>& f : frames) Write(std::move(f));
    }
    if (sourceLeft_.count(dlci)) PumpSource(dlci);
}

void ModuleSerial::WriteUserFrame(int dlci, std::vector<uint8_t> frame)
{
    if (!HostHolds(dlci)) {
        Write(std::move(frame));
        return;
    }
    size_t& octets = heldOctets_[dlci];
    if (octets + frame.size() > settings_.flowHoldLimit) {
        if (heldDropped_[dlci]++ == 0 || octets < settings_.flowHoldLimit)
            notices_.push_back("DLCI " + std::to_string(dlci) + ": hold buffer full (" +
                               std::to_string(settings_.flowHoldLimit) +
                               " octets) while the host holds the DLCI, frames dropped");
        TrimOldest(notices_, 1000);
        return;
    }
    octets += frame.size();
    held_[dlci].push_back(std::move(frame));
}

void ModuleSerial::WriteOrHold(std::vector<uint8_t> octets)
{
    DecodedFrame f;
    if (DecodeFrame(octets, &f) && f.dlci != 0 && (f.control & ~kPf & 0xFF) == kUih) {
        WriteUserFrame(f.dlci, std::move(octets));
        return;
    }
    Write(std::move(octets));
}

// ---- what tests see and do ----

uint64_t ModuleSerial::HeldFramesDropped(int dlci) const
{
    Lock lock(Mutex());
    auto it = heldDropped_.find(dlci);
    return it != heldDropped_.end() ? it->second : 0;
}

size_t ModuleSerial::HeldOctets(int dlci) const
{
    Lock lock(Mutex());
    auto it = heldOctets_.find(dlci);
    return it != heldOctets_.end() ? it->second : 0;
}

uint64_t ModuleSerial::FramesAgainstFlow() const
{
    Lock lock(Mutex());
    return framesAgainstFlow_;
}

bool ModuleSerial::FcOffAnswered() const
{
    Lock lock(Mutex());
    return fcOffAcked_;
}

std::vector<std::string> ModuleSerial::Notices() const
{
    Lock lock(Mutex());
    return notices_;
}

void ModuleSerial::SendFcOff(bool off)
{
    Lock lock(Mutex());
    if (mode_ == Mode::Mux) ModuleFcOff(off);
}

}  // namespace sim
