// The module's AT command mode on the UART, before the multiplexer: the
// command interpreter of at_modem.h (without echo unless uartEcho is set),
// and the AT+CMUX switch to 27.010.
#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"

#include <cctype>

namespace sim {

namespace {

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

// The parameters of AT+CMUX=<mode>[,<subset>[,<port_speed>[,<N1>[,<T1>[,<N2>
// [,<T2>[,<T3>[,<k>]]]]]]]] with their ranges; an empty field keeps the
// default. Only the basic option (mode 0) with UIH frames (subset 0) is
// supported.
struct CmuxParameter {
    uint32_t min, max, defaultValue;
};
const CmuxParameter kCmuxParameters[] = {
    {0, 0, UINT32_MAX},  // mode: required
    {0, 0, 0},        // subset
    {1, 8, 5},        // port speed (5 = 115200)
    {1, 32768, 0},    // N1, 0 here: the module's default
    {1, 255, 10},     // T1
    {0, 100, 3},      // N2
    {2, 255, 30},     // T2
    {1, 255, 10},     // T3
    {1, 7, 2},        // k
};
const size_t kCmuxCount = sizeof kCmuxParameters / sizeof kCmuxParameters[0];

// "0,0,7" into the nine values; false for anything a modem refuses.
bool ParseCmux(const std::string& args, uint32_t values[kCmuxCount])
{
    size_t field = 0, pos = 0;
    for (; field < kCmuxCount; ++field) {
        values[field] = kCmuxParameters[field].defaultValue;
        size_t end = args.find(',', pos);
        if (end == std::string::npos) end = args.size();
        const std::string text = args.substr(pos, end - pos);
        if (!text.empty()) {
            if (text.size() > 5) return false;
            uint32_t v = 0;
            for (char c : text) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return false;
                v = v * 10 + static_cast<uint32_t>(c - '0');
            }
            if (v < kCmuxParameters[field].min || v > kCmuxParameters[field].max) return false;
            values[field] = v;
        }
        if (end == args.size()) break;
        pos = end + 1;
    }
    if (field == kCmuxCount) return false;  // more fields than the command has
    for (size_t i = field + 1; i < kCmuxCount; ++i) values[i] = kCmuxParameters[i].defaultValue;
    return values[0] != UINT32_MAX;
}

}  // namespace

void ModuleSerial::AtOctet(uint8_t o)
{
    if (o == '\n' && atLine_.empty() && lastAtEndedWithCr_) {
        // The LF after a command's CR belongs to that command's entry.
        for (auto e = record_.rbegin(); e != record_.rend(); ++e) {
            if (e->direction != Direction::HostToModule) continue;
            if (e->kind == RecordKind::At) e->octets.push_back(o);
            break;
        }
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
    }
    AtAnswer(uartModem_->Feed({o}, plat::NowMs()));
}

bool ModuleSerial::CmuxCommand(const std::string& cmd, bool* ok)
{
    if (cmd.compare(0, 6, "+CMUX=") != 0 || cmd == "+CMUX=?") return false;
    ++cmuxCommands_;
    cmuxHostBaud_ = uart_->HostBaud();
    uint32_t v[kCmuxCount];
    *ok = ParseCmux(cmd.substr(6), v);
    if (*ok) {
        pendingMuxBaud_ = settings_.muxBaud ? settings_.muxBaud : CmuxSpeed(static_cast<int>(v[2]));
        pendingN1_ = v[3] ? v[3] : settings_.modem.n1;
    }
    return true;
}

void ModuleSerial::AtAnswer(const AtModem::Output& out)
{
    if (!out.now.empty()) Write(std::vector<uint8_t>(out.now.begin(), out.now.end()), true);
    const uint32_t speed = pendingMuxBaud_;
    pendingMuxBaud_ = 0;
    if (speed == 0) {
        const std::string text = out.reply;
        if (text.empty()) return;
        Later(settings_.cmuxReplyDelayMs,
              [this, text] { Write(std::vector<uint8_t>(text.begin(), text.end()), true); });
        return;
    }
    n1_ = pendingN1_;
    if (!settings_.answerCmux) {
        if (settings_.enterMuxWithoutAnswer)
            Later(settings_.cmuxReplyDelayMs, [this, speed] { SwitchToMux(speed); });
        return;
    }
    const std::string text = settings_.cmuxReply;
    Later(settings_.cmuxReplyDelayMs, [this, text, speed] {
        Write(std::vector<uint8_t>(text.begin(), text.end()), true);
        // The new speed once the answer has left the line.
        const uint64_t idle = uart_->ToHostIdleAtMs();
        const uint64_t now = plat::NowMs();
        Later(static_cast<uint32_t>(idle > now ? idle - now : 0),
              [this, speed] { SwitchToMux(speed); });
    });
}

void ModuleSerial::SwitchToMux(uint32_t baud)
{
    mode_ = Mode::Mux;
    cutter_.Reset();
    // A length past N1 is a broken frame: hunting for the next flag at once
    // keeps one lost octet from swallowing the frames behind it.
    cutter_.maxInfo = n1_;
    uart_->SetPeerBaud(baud);
    if (!settings_.afterMuxSwitch.empty()) Write(settings_.afterMuxSwitch);
}

}  // namespace sim
