#include "sim/setting_kinds.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim {

bool ParseSettingNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t* out,
                        std::string* why)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        *why = "not a number: '" + text + "'";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0') {
        *why = "not a number: '" + text + "'";
        return false;
    }
    if (errno == ERANGE || n < min || n > max) {
        *why = "'" + text + "' out of range " + std::to_string(min) + ".." + std::to_string(max);
        return false;
    }
    *out = n;
    return true;
}

namespace settings {

std::vector<std::string> SplitList(const std::string& v, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = v.find(sep, start);
        parts.push_back(v.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}

std::string Upper(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Hex(uint64_t v)
{
    char b[24];
    snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

bool ParseTuple(const std::string& v, char sep, size_t count, uint64_t min, uint64_t max,
                std::vector<uint64_t>* out, std::string* why)
{
    const std::vector<std::string> parts = SplitList(v, sep);
    if (count != 0 && parts.size() != count) {
        *why = "expected " + std::to_string(count) + " numbers separated by '" + sep + "'";
        return false;
    }
    out->clear();
    for (const std::string& p : parts) {
        uint64_t n = 0;
        if (!ParseSettingNumber(p, min, max, &n, why)) return false;
        out->push_back(n);
    }
    return true;
}
Setting Tuple(const char* key, const char* help, const char* example, size_t count, uint64_t max,
              std::function<void(ModuleSettings&, const std::vector<uint64_t>&)> add,
              std::function<bool(const std::vector<uint64_t>&, std::string*)> check)
{
    Apply apply = [count, max, add, check](ModuleSettings& s, const std::string& v,
                                           std::string* why) {
        std::vector<uint64_t> n;
        if (!ParseTuple(v, count == 1 ? ',' : ':', count == 1 ? 0 : count, 0, max, &n, why))
            return false;
        if (check && !check(n, why)) return false;
        add(s, n);
        return true;
    };
    return Setting{key, help, example, std::move(apply), nullptr};
}

// A control command type by name ("MSC", "snc"), as the trace names them.
bool ParseControlType(const std::string& name, uint8_t* type, std::string* why)
{
    for (unsigned t = 0; t < 256; t += 4) {
        const char* n = ControlTypeName(static_cast<uint8_t>(t));
        if (n && Upper(n) == Upper(name)) {
            *type = static_cast<uint8_t>(t);
            return true;
        }
    }
    *why = "not a control command type (MSC, SNC, Test, PSC, FCon, FCoff, CLD, ...): '" + name + "'";
    return false;
}

Setting PerType(const char* key, const char* help, const char* example, uint64_t min, uint64_t max,
                std::map<uint8_t, uint32_t> SerialSettings::*field)
{
    Apply apply = [min, max, field](ModuleSettings& s, const std::string& v, std::string* why) {
        const std::vector<std::string> parts = SplitList(v, ':');
        uint8_t type = 0;
        uint64_t n = 0;
        if (parts.size() != 2) return *why = "expected TYPE:NUMBER", false;
        if (!ParseControlType(parts[0], &type, why) ||
            !ParseSettingNumber(parts[1], min, max, &n, why))
            return false;
        (s.serial.*field)[type] = static_cast<uint32_t>(n);
        return true;
    };
    return Setting{key, help, example, std::move(apply), nullptr};
}

Setting CloseAfterKey()
{
    Apply apply = [](ModuleSettings& s, const std::string& v, std::string* why) {
        const std::vector<std::string> parts = SplitList(v, ':');
        CloseAfter c;
        uint64_t nth = 1;
        if (parts.size() < 2 || parts.size() > 3) return *why = "expected TYPE:DISC|CLD[:N]", false;
        if (!ParseControlType(parts[0], &c.type, why)) return false;
        const std::string how = Upper(parts[1]);
        if (how != "DISC" && how != "CLD") return *why = "expected DISC or CLD", false;
        if (parts.size() == 3 && !ParseSettingNumber(parts[2], 1, 0xFFFFFFFFull, &nth, why))
            return false;
        c.cld = how == "CLD";
        c.nth = static_cast<uint32_t>(nth);
        s.serial.closeAfter.push_back(c);
        return true;
    };
    return Setting{"closeAfter",
                   "TYPE:DISC|CLD[:N], DISC or CLD on DLCI 0 right after the Nth (1) response to "
                   "TYPE; back to AT commands when the host answers (repeatable)",
                   "MSC:DISC", apply, nullptr};
}

std::string ShowDataMode(ModuleSettings& s)
{
    const DataMode m = s.serial.modem.dataMode;
    return m == DataMode::Echo ? "echo" : m == DataMode::Sink ? "sink" : "source";
}

Setting DataModeKey()
{
    Apply apply = [](ModuleSettings& s, const std::string& v, std::string* why) {
        const std::string u = Upper(v);
        if (u == "ECHO") return s.serial.modem.dataMode = DataMode::Echo, true;
        if (u == "SINK") return s.serial.modem.dataMode = DataMode::Sink, true;
        if (u == "SOURCE") return s.serial.modem.dataMode = DataMode::Source, true;
        *why = "expected echo, sink or source";
        return false;
    };
    return Setting{"dataMode",
                   "a data call (ATD*99#): echo the host's data, sink it (counted), or source "
                   "sourceOctets octets then NO CARRIER",
                   "sink", apply, ShowDataMode};
}

// "DLCI:AT_MS:TEXT": the text may hold ':'.
Setting UrcKey()
{
    Apply apply = [](ModuleSettings& s, const std::string& v, std::string* why) {
        const size_t a = v.find(':'), b = a == std::string::npos ? a : v.find(':', a + 1);
        if (b == std::string::npos) return *why = "expected DLCI:AT_MS:TEXT", false;
        uint64_t dlci = 0, at = 0;
        if (!ParseSettingNumber(v.substr(0, a), 1, 63, &dlci, why) ||
            !ParseSettingNumber(v.substr(a + 1, b - a - 1), 0, UINT64_MAX, &at, why))
            return false;
        s.serial.modem.unsolicited.push_back(Unsolicited{static_cast<int>(dlci), at, v.substr(b + 1)});
        return true;
    };
    return Setting{"urc", "DLCI:AT_MS:TEXT, an unsolicited result code on a user DLCI (repeatable)",
                   "1:9000:RING", apply, nullptr};
}

}  // namespace settings
}  // namespace sim
