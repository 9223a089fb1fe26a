#include "sim/at_modem.h"

#include <cctype>

namespace sim {

namespace {

// The command line from its "AT" on, without spaces (outside quotes).
bool CommandPart(const std::string& raw, std::string* out)
{
    size_t at = std::string::npos;
    for (size_t i = 0; i + 1 < raw.size(); ++i) {
        if ((raw[i] == 'A' && raw[i + 1] == 'T') || (raw[i] == 'a' && raw[i + 1] == 't')) {
            at = i;
            break;
        }
    }
    if (at == std::string::npos) return false;
    out->clear();
    bool quoted = false;
    for (size_t i = at + 2; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') quoted = !quoted;
        if (c == ' ' && !quoted) continue;
        out->push_back(quoted ? c : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    return true;
}

// The decimal digits at *pos (none: 0); false when there are more than 9.
bool Digits(const std::string& s, size_t* pos, uint32_t* value)
{
    size_t start = *pos;
    uint32_t v = 0;
    while (*pos < s.size() && std::isdigit(static_cast<unsigned char>(s[*pos]))) {
        v = v * 10 + static_cast<uint32_t>(s[*pos] - '0');
        if (++*pos - start > 9) return false;
    }
    *value = v;
    return true;
}

bool OneNumber(const std::string& s, uint32_t max, uint32_t* value)
{
    size_t pos = 0;
    if (s.empty() || !Digits(s, &pos, value) || pos != s.size()) return false;
    return *value <= max;
}

}  // namespace

AtModem::AtModem(const ModemSettings& settings, bool echo)
    : settings_(settings), echo_(echo), bootEcho_(echo)
{
}

AtModem::Output AtModem::Feed(const std::vector<uint8_t>& octets, uint64_t nowMs)
{
    Output out;
    for (uint8_t o : octets) {
        if (dataCall_) {
            DataOctet(o, nowMs, &out);
            continue;
        }
        if (o == '\n' && line_.empty()) continue;
        if (echo_) out.now.push_back(static_cast<char>(o));
        if (o == '\b') {
            if (!line_.empty()) line_.pop_back();
            continue;
        }
        if (o != '\r') {
            if (line_.size() < 1024) line_.push_back(static_cast<char>(o));
            continue;
        }
        std::string line;
        line.swap(line_);
        Line(line, &out);
        if (out.connected) dataCall_ = true;
    }
    return out;
}

void AtModem::DataOctet(uint8_t o, uint64_t nowMs, Output* out)
{
    ++dataReceived_;
    if (settings_.dataMode == DataMode::Echo) out->now.push_back(static_cast<char>(o));
    const bool quietBefore = nowMs - lastDataMs_ >= settings_.guardMs;
    if (o == '+' && ((pluses_ == 0 && quietBefore) || (pluses_ > 0 && pluses_ < 3))) {
        ++pluses_;
        plusAtMs_ = nowMs;
        if (pluses_ == 3) out->escapeCheck = true;
        return;
    }
    pluses_ = 0;
    lastDataMs_ = nowMs;
}

bool AtModem::EscapeCheck(uint64_t nowMs, std::string* reply)
{
    if (!dataCall_ || pluses_ != 3 || nowMs - plusAtMs_ < settings_.guardMs) return false;
    EndCall();
    *reply = ResultText(kOk);
    return true;
}

void AtModem::EndCall()
{
    dataCall_ = false;
    pluses_ = 0;
    line_.clear();
}

std::string AtModem::SourceDone()
{
    EndCall();
    return ResultText(kNoCarrier);
}

std::string AtModem::Framed(const std::string& text) const
{
    return verbose_ ? "\r\n" + text + "\r\n" : text + "\r\n";
}

std::string AtModem::ResultText(Result r) const
{
    static const char* const kVerbose[] = {"OK", "CONNECT", "RING", "NO CARRIER", "ERROR"};
    if (quiet_) return std::string();
    if (verbose_) return "\r\n" + std::string(kVerbose[r]) + "\r\n";
    return std::to_string(static_cast<int>(r)) + "\r";
}

void AtModem::Line(const std::string& raw, Output* out)
{
    std::string cmd;
    if (!CommandPart(raw, &cmd)) return;  // no "AT": not a command line
    commands_.push_back(raw);
    std::string info;
    Result result = kOk;
    size_t pos = 0;
    while (pos < cmd.size() && result == kOk) {
        if (cmd[pos] == '+') {
            size_t end = cmd.find(';', pos);
            if (end == std::string::npos) end = cmd.size();
            std::string text;
            bool ok = true;
            const std::string ext = cmd.substr(pos, end - pos);
            if (!(extension_ && extension_(ext, &text, &ok))) ok = Extended(ext, &text);
            if (!text.empty()) info += Framed(text);
            if (!ok) result = kError;
            pos = end + (end < cmd.size() ? 1 : 0);
        } else if (!Basic(cmd, &pos, &info, &result)) {
            result = kError;
        }
    }
    out->reply = info + ResultText(result);
    out->connected = result == kConnect;
}

bool AtModem::Basic(const std::string& cmd, size_t* pos, std::string* info, Result* result)
{
    char c = cmd[(*pos)++];
    if (c == ';') return true;
    if (c == '&') {
        if (*pos >= cmd.size()) return false;
        c = static_cast<char>(cmd[(*pos)++] | 0x80);  // &F as F with the top bit
    }
    if (c == 'D') {
        const std::string number = cmd.substr(*pos);
        *pos = cmd.size();
        const bool data = number.find("*99") == 0 || number.find("T*99") == 0;
        *result = data ? kConnect : kNoCarrier;
        return true;
    }
    uint32_t n = 0;
    if (!Digits(cmd, pos, &n)) return false;
    switch (c) {
    case 'E': if (n > 1) return false; echo_ = n == 1; return true;
    case 'V': if (n > 1) return false; verbose_ = n == 1; return true;
    case 'Q': if (n > 1) return false; quiet_ = n == 1; return true;
    case 'H': return n == 0;
    case 'O': *result = kNoCarrier; return true;
    case 'I':
        *info += Framed(settings_.manufacturer + " " + settings_.model);
        *info += Framed("Revision: " + settings_.revision);
        return true;
    case 'Z':
    case static_cast<char>('F' | 0x80):
        echo_ = bootEcho_;
        verbose_ = true;
        quiet_ = false;
        return n == 0;
    default: return false;
    }
}

bool AtModem::Extended(const std::string& cmd, std::string* info)
{
    uint32_t n = 0;
    auto setting = [&](const char* name, uint32_t max, uint32_t* dst) {
        const std::string prefix = std::string(name) + "=";
        if (cmd.compare(0, prefix.size(), prefix) != 0) return false;
        if (!OneNumber(cmd.substr(prefix.size()), max, &n)) return false;
        *dst = n;
        return true;
    };
    if (cmd == "+CGMI") return *info = settings_.manufacturer, true;
    if (cmd == "+CGMM") return *info = settings_.model, true;
    if (cmd == "+CGMR") return *info = settings_.revision, true;
    if (cmd == "+CGSN") return *info = settings_.serialNumber, true;
    if (cmd == "+CSQ")
        return *info = "+CSQ: " + std::to_string(settings_.rssi) + "," + std::to_string(settings_.ber),
               true;
    if (cmd == "+CREG?")
        return *info = "+CREG: " + std::to_string(cregMode_) + "," +
                       std::to_string(settings_.regStatus),
               true;
    if (cmd == "+CPIN?") return *info = "+CPIN: " + settings_.pin, true;
    if (cmd == "+CFUN?") return *info = "+CFUN: " + std::to_string(cfun_), true;
    if (cmd == "+COPS?") return *info = "+COPS: 0,0,\"" + settings_.operatorName + "\"", true;
    if (cmd.compare(0, 9, "+CGDCONT=") == 0) return cmd.size() > 9;
    if (cmd.compare(0, 6, "+CREG=") == 0) return setting("+CREG", 2, &cregMode_);
    if (cmd.compare(0, 6, "+CFUN=") == 0) return setting("+CFUN", 1, &cfun_);
    if (cmd.compare(0, 6, "+CMEE=") == 0) return setting("+CMEE", 2, &cmee_);
    if (cmd == "+CMUX=?")
        return *info = "+CMUX: (0),(0),(1-8),(1-32768),(1-255),(0-100),(2-255),(1-255),(1-7)", true;
    return false;
}

}  // namespace sim
