// The module's AT command mode on the UART, before the multiplexer: command
// lines up to their CR, and the AT+CMUX switch to 27.010.
#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel.h"

#include <cctype>
#include <cstdlib>

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
        AtLine(line);
    }
}

void ModuleSerial::AtLine(const std::string& raw)
{
    const std::string cmd = Upper(Trim(raw));
    if (cmd.empty()) return;
    auto reply = [this](const std::string& text, uint32_t delay) {
        Later(delay, [this, text] {
            Write(std::vector<uint8_t>(text.begin(), text.end()), true);
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
            Write(std::vector<uint8_t>(text.begin(), text.end()), true);
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
    if (!settings_.afterMuxSwitch.empty()) Write(settings_.afterMuxSwitch);
}

}  // namespace sim
