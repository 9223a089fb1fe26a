// The crashed module: out of the multiplexer, at the speed the port was left
// at, it answers "ATD\r" with a debugging text and "ATA\r" with its crash
// log, each ended by "+++\r\n", in writes of a set size with line conditions
// between them if the settings ask for them.
#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"

#include <cstdio>

namespace sim {

namespace {

const char kEndMarker[] = "+++\r\n";

// Numbered lines of a crash log, cut to `octets`.
std::string GeneratedLog(uint32_t octets)
{
    std::string log;
    for (unsigned line = 0; log.size() < octets; ++line) {
        char b[64];
        snprintf(b, sizeof b, "%05u: trace frame 0x%08X task L1\r\n", line, 0x00400000u + line * 16);
        log += b;
    }
    log.resize(octets);
    return log;
}

}  // namespace

void ModuleSerial::CrashedOctet(uint8_t o)
{
    atLine_.push_back(static_cast<char>(o));
    if (o != '\r' && atLine_.size() < 512) return;
    std::string line;
    line.swap(atLine_);
    Record(Direction::HostToModule, RecordKind::At, std::vector<uint8_t>(line.begin(), line.end()));
    const CrashSettings& c = settings_.crash;
    // The monitor takes the command at the end of the line: whatever the
    // host sent before it since the crash (frames of a multiplexer that does
    // not know yet, its DISCs on the way down) is noise to it.
    auto endsWith = [&line](const char* command) {
        const std::string c(command);
        return line.size() >= c.size() && line.compare(line.size() - c.size(), c.size(), c) == 0;
    };
    std::string answer;
    if (endsWith("ATD\r")) {
        answer = c.debugText + kEndMarker;
    } else if (endsWith("ATA\r")) {
        answer = c.logText.empty() ? GeneratedLog(c.logOctets) : c.logText;
        if (!c.endless) answer += kEndMarker;
    } else {
        return;  // nothing else reaches a crashed module's monitor
    }
    Later(c.replyDelayMs, [this, answer] { CrashAnswer(answer, 0); });
}

void ModuleSerial::CrashAnswer(const std::string& text, uint32_t chunk)
{
    if (mode_ != Mode::Crashed || text.empty()) return;
    const CrashSettings& c = settings_.crash;
    const size_t size = c.chunkOctets ? c.chunkOctets : text.size();
    const std::string part = text.substr(0, size);
    Write(std::vector<uint8_t>(part.begin(), part.end()), true);
    auto event = c.eventAfterChunk.find(chunk);
    if (event != c.eventAfterChunk.end()) {
        const uint64_t after = uart_->ToHostIdleAtMs();
        if (event->second) uart_->SendLineErrorToHost(event->second, false, 0, after);
        else uart_->SendBreakToHost(after);
    }
    if (part.size() == text.size()) return;
    const std::string rest = text.substr(part.size());
    const uint64_t idle = uart_->ToHostIdleAtMs();
    const uint64_t now = plat::NowMs();
    Later(static_cast<uint32_t>(idle > now ? idle - now : 0) + c.chunkGapMs,
          [this, rest, chunk] { CrashAnswer(rest, chunk + 1); });
}

}  // namespace sim
