#include "line.h"

#include "platform/hw/ioport_sim.h"

namespace gsmmuxd {

namespace {

// The pins the driver reads and drives (data registers and bit masks).
constexpr DWORD kPortB = 0x14, kPortD = 0x34, kPortF = 0x54;
constexpr DWORD kDtrPin = 0x08;    // B3: DTR, driven low while the host is awake
constexpr DWORD kSleepPin = 0x02;  // D1: high while the module sleeps
constexpr DWORD kRfOkPin = 0x20;   // F5: GSM_RF_OK, high while the module runs

const size_t kSimFifoOctets = 64 * 1024;

sim::ModuleSettings WithModemOnEveryUserDlci()
{
    sim::ModuleSettings m;
    m.serial.modem.modemDlcis = ~uint64_t(1);
    return m;
}

}  // namespace

std::unique_ptr<Line> Line::Open(const Options& o, std::string* error)
{
    std::unique_ptr<Line> line(new Line);
    if (o.portTty.empty()) {
        line->module_ = std::make_unique<sim::SimModule>(WithModemOnEveryUserDlci());
        // A desktop may keep the driver's reader off the processor for
        // longer than the phone does; a real tty's input waits in the
        // kernel meanwhile, and the simulated line gets as much room.
        line->module_->Serial().Uart().SetFifoCapacity(kSimFifoOctets);
        return line;
    }
    line->tty_ = plat::serial::OpenTtyBackend(o.portDevice, o.portTty, error);
    if (!line->tty_) return nullptr;
    plat::ioport::Reset();
    if (o.lines == Lines::Sim) {
        line->lines_ = std::make_unique<sim::ModuleLines>(sim::LineSettings());
    } else {
        line->WireNoLines();
    }
    return line;
}

void Line::WireNoLines()
{
    plat::ioport::SetInput(kPortF, kRfOkPin, true);
    plat::ioport::SetInput(kPortD, kSleepPin, false);
    plat::serial::TtyBackend* tty = tty_.get();
    auto dtr = std::make_shared<int>(-1);  // last level given to the tty
    dtrListener_ = plat::ioport::AddListener([tty, dtr](const plat::ioport::Access& a) {
        if (a.kind != plat::ioport::AccessKind::Modify) return;
        if (!plat::ioport::IsOutput(kPortB, kDtrPin)) return;
        const int on = plat::ioport::DrivenHigh(kPortB, kDtrPin) ? 0 : 1;
        if (on == *dtr) return;
        *dtr = on;
        tty->SetDtr(on != 0);
    });
}

Line::~Line()
{
    if (dtrListener_) plat::ioport::RemoveListener(dtrListener_);
    lines_.reset();
    tty_.reset();
    module_.reset();
}

std::string Line::Failure() const
{
    if (tty_ && tty_->Gone()) return tty_->GoneReason();
    return std::string();
}

void Line::Trim()
{
    if (module_) module_->Serial().ClearRecord();
}

}  // namespace gsmmuxd
