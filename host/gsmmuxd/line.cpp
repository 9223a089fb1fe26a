#include "line.h"

#include "platform/hw/ioport_sim.h"
#include "sim/frame_record.h"

namespace gsmmuxd {

namespace {

// The pins the driver reads and drives (data registers and bit masks).
constexpr DWORD kPortB = 0x14, kPortD = 0x34, kPortF = 0x54, kPortH = 0x74;
constexpr DWORD kDtrPin = 0x08;    // B3: DTR, driven low while the host is awake
constexpr DWORD kSleepPin = 0x02;  // D1: high while the module sleeps
constexpr DWORD kRfOkPin = 0x20;   // F5: GSM_RF_OK, high while the module runs
constexpr DWORD kResetPin = 0x100; // H8: pulsed high once by every module reset

const uint8_t kCldCommand = 0xC3;  // CLD, C/R and EA set

const size_t kSimFifoOctets = 64 * 1024;
const size_t kSimTransmitFifoOctets = 4096;

sim::ModuleSettings WithModemOnEveryUserDlci()
{
    sim::ModuleSettings m;
    m.serial.modem.modemDlcis = ~uint64_t(1);
    // A write ends once its octets are in the transmit FIFO, so that the
    // next frame is written while the line still carries this one; with
    // none, each write would wait for the line to fall idle (seen at the
    // next millisecond tick) and every frame would leave a gap behind it.
    // A desktop may keep the driver's sender off the processor for longer
    // than the phone's 64-octet FIFO lasts (1.4 ms at 460800 bit/s); a real
    // tty's output waits in the kernel meanwhile, and the simulated line
    // gets as much room.
    m.serial.hostTransmitFifo = kSimTransmitFifoOctets;
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
    CloseDownOnReset();
}

// The close-down goes out as the reset pulses begin; the driver's reset
// then waits long enough for the module to answer and leave the
// multiplexer before "AT+CMUX" is sent. A module in AT command mode takes
// the two frames for a line of noise.
void Line::CloseDownOnReset()
{
    std::vector<uint8_t> closeDown =
        sim::BuildFrame(0, true, sim::kUih, sim::BuildControlMessage(kCldCommand, {}));
    const std::vector<uint8_t> disc = sim::BuildFrame(0, true, sim::kDisc | sim::kPf);
    closeDown.insert(closeDown.end(), disc.begin(), disc.end());
    plat::serial::TtyBackend* tty = tty_.get();
    resetListener_ = plat::ioport::AddListener([tty, closeDown](const plat::ioport::Access& a) {
        if (a.kind != plat::ioport::AccessKind::Modify || a.offset != kPortH) return;
        if ((a.before & kResetPin) || !(a.after & kResetPin)) return;
        plat::ioport::SetInput(kPortF, kRfOkPin, true);
        tty->Transmit(closeDown.data(), closeDown.size());
    });
}

Line::~Line()
{
    if (dtrListener_) plat::ioport::RemoveListener(dtrListener_);
    if (resetListener_) plat::ioport::RemoveListener(resetListener_);
    lines_.reset();
    tty_.reset();
    module_.reset();
}

std::string Line::Failure() const
{
    if (tty_ && tty_->Gone()) return tty_->GoneReason();
    return std::string();
}

void Line::ModuleLost()
{
    if (tty_ && !lines_) plat::ioport::SetInput(kPortF, kRfOkPin, false);
}

void Line::Trim()
{
    if (module_) module_->Serial().ClearRecord();
}

}  // namespace gsmmuxd
