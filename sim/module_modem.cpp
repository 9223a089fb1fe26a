// The modem behind the user DLCIs: one command interpreter per connected
// DLCI (at_modem.h), its output as UIH frames of at most N1 octets, held
// while the host has stopped the DLCI with MSC FC (module_flow.cpp); the
// data call's source; unsolicited texts and the module's own flow stops
// (MSC FC, FCoff) at set times.
#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"

#include <algorithm>

namespace sim {

using plat::kernel::Lock;
using plat::kernel::Mutex;

void ModuleSerial::ScheduleModemEvents()
{
    auto at = [this](uint64_t atMs, std::function<void()> fn) {
        scheduled_.push_back(plat::kernel::CallAt(atMs, [this, fn] {
            if (mode_ == Mode::Mux) fn();
        }));
    };
    for (const Unsolicited& u : settings_.modem.unsolicited) {
        at(u.atMs, [this, u] { Unsolicit(u.dlci, u.text); });
    }
    for (const FlowStop& f : settings_.modem.flowStops) {
        at(f.atMs, [this, f] { MscCommand(f.dlci, true); });
        at(f.atMs + f.forMs, [this, f] { MscCommand(f.dlci, false); });
    }
    for (const auto& f : settings_.fcOff) {
        at(f.first, [this] { ModuleFcOff(true); });
        at(f.first + f.second, [this] { ModuleFcOff(false); });
    }
}

void ModuleSerial::Unsolicit(int dlci, const std::string& text)
{
    auto it = modems_.find(dlci);
    SendOnDlci(dlci, it != modems_.end() ? it->second->Framed(text) : "\r\n" + text + "\r\n");
}

void ModuleSerial::ModemConnected(int dlci)
{
    if (dlci == 0 || !DlciBit(settings_.modem.modemDlcis, dlci)) return;
    modems_[dlci] = std::make_unique<AtModem>(settings_.modem, settings_.modem.echo);
}

void ModuleSerial::ModemDisconnected(int dlci)
{
    modems_.erase(dlci);  // a data call on it ends with the DLCI
    held_.erase(dlci);
    heldOctets_.erase(dlci);
    sourceLeft_.erase(dlci);
}

void ModuleSerial::ModemsOff()
{
    modems_.clear();
    held_.clear();
    heldOctets_.clear();
    sourceLeft_.clear();
}

void ModuleSerial::ModemInput(int dlci, const std::vector<uint8_t>& octets)
{
    auto it = modems_.find(dlci);
    if (it == modems_.end()) return;
    ModemOutput(dlci, it->second->Feed(octets, plat::NowMs()));
}

void ModuleSerial::ModemOutput(int dlci, const AtModem::Output& out)
{
    SendOnDlci(dlci, out.now);
    const std::string reply = out.reply;
    const bool source = out.connected && settings_.modem.dataMode == DataMode::Source;
    if (!reply.empty() || source) {
        Later(settings_.modem.replyDelayMs, [this, dlci, reply, source] {
            if (!modems_.count(dlci)) return;
            SendOnDlci(dlci, reply);
            if (!source) return;
            sourceLeft_[dlci] = settings_.modem.sourceOctets;
            PumpSource(dlci);
        });
    }
    if (out.escapeCheck) {
        Later(settings_.modem.guardMs, [this, dlci] {
            auto it = modems_.find(dlci);
            std::string ok;
            if (it == modems_.end() || !it->second->EscapeCheck(plat::NowMs(), &ok)) return;
            sourceLeft_.erase(dlci);
            SendOnDlci(dlci, ok);
        });
    }
}

void ModuleSerial::SendOnDlci(int dlci, const std::string& text)
{
    if (text.empty() || mode_ != Mode::Mux || !DlciBit(open_, dlci)) return;
    const size_t n1 = std::max<uint32_t>(1, n1_);
    for (size_t at = 0; at < text.size(); at += n1) {
        const std::string part = text.substr(at, n1);
        WriteUserFrame(dlci, BuildFrame(dlci, false, kUih, std::vector<uint8_t>(part.begin(), part.end())));
    }
}

// The data call's source: one frame of the pattern 0x00, 0x01, ... at a time,
// the next once it has left the line, paused while the host stops the DLCI.
void ModuleSerial::PumpSource(int dlci)
{
    auto left = sourceLeft_.find(dlci);
    auto modem = modems_.find(dlci);
    if (left == sourceLeft_.end() || modem == modems_.end() || !modem->second->InDataCall()) {
        sourceLeft_.erase(dlci);
        return;
    }
    if (HostHolds(dlci) || mode_ != Mode::Mux) return;  // HostFlow resumes it
    if (left->second == 0) {
        sourceLeft_.erase(left);
        SendOnDlci(dlci, modem->second->SourceDone());
        return;
    }
    const uint64_t count = std::min<uint64_t>(left->second, std::max<uint32_t>(1, n1_));
    const uint64_t sent = settings_.modem.sourceOctets - left->second;
    std::string chunk;
    for (uint64_t i = 0; i < count; ++i) chunk.push_back(static_cast<char>((sent + i) & 0xFF));
    left->second -= count;
    SendOnDlci(dlci, chunk);
    // The next frame is queued a millisecond before the line runs dry, so
    // that it follows this one without a gap.
    const uint64_t idle = uart_->ToHostIdleAtMs();
    const uint64_t now = plat::NowMs();
    Later(static_cast<uint32_t>(idle > now + 1 ? idle - now - 1 : 1), [this, dlci] { PumpSource(dlci); });
}

// ---- what tests see and do ----

bool ModuleSerial::InDataCall(int dlci) const
{
    Lock lock(Mutex());
    auto it = modems_.find(dlci);
    return it != modems_.end() && it->second->InDataCall();
}

uint64_t ModuleSerial::DataCallOctets(int dlci) const
{
    Lock lock(Mutex());
    auto it = modems_.find(dlci);
    return it != modems_.end() ? it->second->DataReceived() : 0;
}

std::vector<std::string> ModuleSerial::ModemCommands(int dlci) const
{
    Lock lock(Mutex());
    if (dlci == 0) return uartModem_->Commands();
    auto it = modems_.find(dlci);
    return it != modems_.end() ? it->second->Commands() : std::vector<std::string>();
}

uint32_t ModuleSerial::FrameSize() const
{
    Lock lock(Mutex());
    return n1_;
}

void ModuleSerial::SendUnsolicited(int dlci, const std::string& text)
{
    Lock lock(Mutex());
    Unsolicit(dlci, text);
}

}  // namespace sim
