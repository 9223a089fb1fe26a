#include "sim/module_settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace sim {

namespace {

using Apply = std::function<bool(ModuleSettings&, const std::string&, std::string*)>;
using Show = std::function<std::string(ModuleSettings&)>;

struct Setting {
    const char* key;
    const char* help;
    const char* example;
    Apply apply;
    Show show;  // the value in a default ModuleSettings; null: a list, empty
};

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

// Numbers separated by `sep`, each within [min, max], exactly `count` of them
// (0: any number, at least one).
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

template <class Acc>
Setting Number(const char* key, const char* help, uint64_t min, uint64_t max, Acc acc,
               bool hex = false)
{
    Apply apply = [acc, min, max](ModuleSettings& s, const std::string& v, std::string* why) {
        uint64_t n = 0;
        if (!ParseSettingNumber(v, min, max, &n, why)) return false;
        auto& field = acc(s);
        field = static_cast<std::remove_reference_t<decltype(field)>>(n);
        return true;
    };
    Show show = [acc, hex](ModuleSettings& s) {
        const uint64_t n = acc(s);
        return hex ? Hex(n) : std::to_string(n);
    };
    return Setting{key, help, "1", apply, show};
}

template <class Acc>
Setting Ms(const char* key, const char* help, Acc acc)
{
    return Number(key, help, 0, 0xFFFFFFFFull, acc);
}

template <class Acc>
Setting Flag(const char* key, const char* help, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string* why) {
        if (v == "true" || v == "1" || v == "yes" || v == "on") return acc(s) = true, true;
        if (v == "false" || v == "0" || v == "no" || v == "off") return acc(s) = false, true;
        *why = "not a boolean (true/false, 1/0, yes/no, on/off)";
        return false;
    };
    Show show = [acc](ModuleSettings& s) { return std::string(acc(s) ? "true" : "false"); };
    return Setting{key, help, "true", apply, show};
}

// A bit set of DLCIs: a plain number is the mask itself, a list with commas
// (or one DLCI followed by ',') names DLCIs.
template <class Acc>
Setting Dlcis(const char* key, const char* help, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string* why) {
        if (v.find(',') == std::string::npos) {
            uint64_t mask = 0;
            if (!ParseSettingNumber(v, 0, UINT64_MAX, &mask, why)) return false;
            acc(s) = mask;
            return true;
        }
        uint64_t set = 0;
        for (const std::string& part : SplitList(v, ',')) {
            if (part.empty()) continue;
            uint64_t d = 0;
            if (!ParseSettingNumber(part, 0, 63, &d, why)) return false;
            set |= uint64_t(1) << d;
        }
        acc(s) = set;
        return true;
    };
    Show show = [acc](ModuleSettings& s) { return Hex(acc(s)); };
    return Setting{key, help, "1,3", apply, show};
}

// A list of octet numbers of the line, added to the set.
template <class Acc>
Setting Indexes(const char* key, const char* help, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string* why) {
        std::vector<uint64_t> n;
        if (!ParseTuple(v, ',', 0, 0, UINT64_MAX, &n, why)) return false;
        acc(s).insert(n.begin(), n.end());
        return true;
    };
    return Setting{key, help, "4,9", apply, nullptr};
}

// Text with the escapes \r \n \\ for the shell's sake.
template <class Acc>
Setting Text(const char* key, const char* help, const char* example, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string*) {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size()) {
                const char c = v[++i];
                out += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
            } else {
                out += v[i];
            }
        }
        acc(s) = out;
        return true;
    };
    Show show = [acc](ModuleSettings& s) {
        std::string out;
        for (char c : acc(s)) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
        return out;
    };
    return Setting{key, help, example, apply, show};
}

// A repeatable tuple "A:B[:C]" handed to `add` as numbers.
Setting Tuple(const char* key, const char* help, const char* example, size_t count, uint64_t max,
              std::function<void(ModuleSettings&, const std::vector<uint64_t>&)> add,
              std::function<bool(const std::vector<uint64_t>&, std::string*)> check = nullptr)
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
    return Setting{key, help, example, apply, nullptr};
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

// "TYPE:N" for a per-command-type number.
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
    return Setting{key, help, example, apply, nullptr};
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
    Show show = [](ModuleSettings& s) {
        const DataMode m = s.serial.modem.dataMode;
        return std::string(m == DataMode::Echo ? "echo" : m == DataMode::Sink ? "sink" : "source");
    };
    return Setting{"dataMode",
                   "a data call (ATD*99#): echo the host's data, sink it (counted), or source "
                   "sourceOctets octets then NO CARRIER",
                   "sink", apply, show};
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

#define LINE(f) [](ModuleSettings& s) -> auto& { return s.lines.f; }
#define SERIAL(f) [](ModuleSettings& s) -> auto& { return s.serial.f; }
#define MODEM(f) [](ModuleSettings& s) -> auto& { return s.serial.modem.f; }

bool DlciCheck(const std::vector<uint64_t>& n, std::string* why)
{
    if (n[0] <= 63) return true;
    *why = "DLCI " + std::to_string(n[0]) + " out of range 0..63";
    return false;
}

const std::vector<Setting>& Table()
{
    static const std::vector<Setting> table = {
        // --- lines ---
        Ms("resetToleranceMs", "tolerance on each interval of the reset sequence, ms",
           LINE(resetToleranceMs)),
        Flag("bootAfterReset", "raise GSM_RF_OK after a correct reset (false: never comes up)",
             LINE(bootAfterReset)),
        Ms("rfOkDelayMs", "end of the reset sequence to GSM_RF_OK high (boot delay), ms",
           LINE(rfOkDelayMs)),
        Flag("startRunning", "already running before any reset", LINE(startRunning)),
        Ms("sleepAfterIdleMs", "fall asleep after this idle time, ms (0 = never)",
           LINE(sleepAfterIdleMs)),
        Number("wakePeriods", "50 ms periods from a wake pulse to D1 low", 0, 1000,
               LINE(wakePeriods)),
        Ms("wakePulseMinMs", "shortest accepted wake pulse on C8, ms", LINE(wakePulseMinMs)),
        Ms("wakePulseMaxMs", "longest accepted wake pulse on C8, ms", LINE(wakePulseMaxMs)),
        Flag("neverWake", "a sleeping module ignores every wake pulse", LINE(neverWake)),
        Ms("glitchLowMs", "width of a GSM_RF_OK glitch, ms", LINE(glitchLowMs)),
        // --- AT command mode ---
        Number("atBaud", "speed of the AT command mode after boot", 1, 4000000, SERIAL(atBaud)),
        Flag("answerCmux", "answer AT+CMUX (false: stay silent)", SERIAL(answerCmux)),
        Flag("enterMuxWithoutAnswer", "with answerCmux=false, switch to 27.010 all the same",
             SERIAL(enterMuxWithoutAnswer)),
        Text("cmuxReply", "text of the AT+CMUX answer (\\r \\n escapes)", "\\r\\nOK\\r\\n",
             SERIAL(cmuxReply)),
        Ms("cmuxReplyDelayMs", "AT command to its answer, ms", SERIAL(cmuxReplyDelayMs)),
        Number("muxBaud", "27.010 speed; 0 = as AT+CMUX asks (7 = 460800)", 0, 4000000,
               SERIAL(muxBaud)),
        Tuple("afterMuxSwitch", "octets (list) sent at the new speed right after the AT+CMUX switch",
              "0xF9,0x00", 1, 0xFF,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.afterMuxSwitch.insert(s.serial.afterMuxSwitch.end(), n.begin(), n.end());
              }),
        // --- 27.010 peer ---
        Ms("uaDelayMs", "SABM/DISC to the answer, ms", SERIAL(uaDelayMs)),
        Dlcis("noUaDlcis", "DLCIs whose SABM and DISC get no answer (mask or list 0,2,)",
              SERIAL(noUaDlcis)),
        Dlcis("noUaOnDiscDlcis", "DLCIs whose DISC gets no answer", SERIAL(noUaOnDiscDlcis)),
        Dlcis("dmDlcis", "DLCIs answered with DM instead of UA", SERIAL(dmDlcis)),
        Dlcis("uaWithoutFDlcis", "DLCIs answered with UA, F = 0", SERIAL(uaWithoutFDlcis)),
        Ms("ctrlReplyDelayMs", "control command to its response, ms", SERIAL(ctrlReplyDelayMs)),
        Flag("answerSnc", "answer SNC commands", SERIAL(answerSnc)),
        Flag("answerMsc", "answer MSC commands", SERIAL(answerMsc)),
        Flag("nscForUnknown", "answer unknown control commands with NSC", SERIAL(nscForUnknown)),
        Number("v24", "V.24 octet of MSC responses and commands", 0, 0xFF, SERIAL(v24), true),
        Tuple("v24ForDlci", "DLCI:V24, per-DLCI V.24 octet (repeatable)", "1:0x0D", 2, 0xFF,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.v24ForDlci[static_cast<int>(n[0])] = static_cast<uint8_t>(n[1]);
              },
              DlciCheck),
        // --- control channel faults ---
        PerType("repeatResponse", "TYPE:N, the response to a TYPE command N times in one frame",
                "MSC:2", 1, 100, &SerialSettings::repeatResponse),
        PerType("lateDuplicate", "TYPE:MS, the response frame to a TYPE command again MS later",
                "MSC:200", 0, 0xFFFFFFFFull, &SerialSettings::lateDuplicateMs),
        CloseAfterKey(),
        Tuple("strayUa", "AT_MS list, a UA (F = 1) on DLCI 0 nobody asked for", "7000", 1,
              UINT64_MAX,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.strayUaAtMs.insert(s.serial.strayUaAtMs.end(), n.begin(), n.end());
              }),
        Tuple("strayDm", "AT_MS list, a DM (F = 1) on DLCI 0 nobody asked for", "7000", 1,
              UINT64_MAX,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.strayDmAtMs.insert(s.serial.strayDmAtMs.end(), n.begin(), n.end());
              }),
        Tuple("uihBurst", "AT_MS:COUNT, COUNT UIH frames with burstInfo on DLCI 0 at once (repeatable)",
              "5800:20", 2, UINT64_MAX,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.uihBursts.push_back(UihBurst{n[0], static_cast<uint32_t>(n[1])});
              },
              [](const std::vector<uint64_t>& n, std::string* why) {
                  if (n[1] <= 10000) return true;
                  *why = "count " + std::to_string(n[1]) + " out of range 0..10000";
                  return false;
              }),
        Tuple("burstInfo", "octets (list) of each burst frame [E3,05,07,0D: MSC command DLCI 1]",
              "0x23,0x01", 1, 0xFF,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.burstInfo.assign(n.begin(), n.end());
              }),
        // --- the modem behind the user DLCIs ---
        Dlcis("modemDlcis", "user DLCIs with an AT command interpreter (mask or list)",
              MODEM(modemDlcis)),
        Ms("atReplyDelayMs", "command line on a user DLCI to its result, ms", MODEM(replyDelayMs)),
        Flag("atEcho", "echo on a user DLCI after it opens (ATE1)", MODEM(echo)),
        Flag("uartEcho", "echo in AT command mode on the UART", SERIAL(uartEcho)),
        Text("manufacturer", "AT+CGMI, and ATI", "Acme", MODEM(manufacturer)),
        Text("model", "AT+CGMM, and ATI", "M1", MODEM(model)),
        Text("revision", "AT+CGMR, and ATI", "2.0", MODEM(revision)),
        Text("serialNumber", "AT+CGSN", "350000000000000", MODEM(serialNumber)),
        Number("rssi", "AT+CSQ signal (0..31, 99 unknown)", 0, 99, MODEM(rssi)),
        Number("ber", "AT+CSQ bit error rate (0..7, 99 unknown)", 0, 99, MODEM(ber)),
        Number("regStatus", "AT+CREG? <stat> (1 home, 5 roaming, 2 searching)", 0, 5,
               MODEM(regStatus)),
        Text("pin", "AT+CPIN? answer", "SIM PIN", MODEM(pin)),
        Text("operatorName", "AT+COPS? operator", "NET", MODEM(operatorName)),
        DataModeKey(),
        Number("sourceOctets", "octets a source data call sends before NO CARRIER", 0,
               UINT64_MAX, MODEM(sourceOctets)),
        Ms("guardMs", "guard time before and after \"+++\" in a data call, ms", MODEM(guardMs)),
        Number("frameSize", "largest information field of the module's frames when AT+CMUX "
                            "names no N1",
               1, 32768, MODEM(n1)),
        UrcKey(),
        Tuple("flowStop", "DLCI:AT_MS:FOR_MS, MSC FC = 1 on a DLCI at a time, FC = 0 FOR_MS later "
                          "(repeatable)",
              "1:9000:500", 3, UINT64_MAX,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.modem.flowStops.push_back(FlowStop{static_cast<int>(n[0]), n[1],
                                                              static_cast<uint32_t>(n[2])});
              },
              [](const std::vector<uint64_t>& n, std::string* why) {
                  if (n[0] >= 1 && n[0] <= 63 && n[2] <= 0xFFFFFFFFull) return true;
                  *why = "DLCI out of range 1..63 or FOR_MS too large";
                  return false;
              }),
        // --- line faults ---
        Tuple("split", "WRITE:AT:GAP, cut module write WRITE (1-based, 0 = all) at octet AT, "
                       "rest GAP ms later (repeatable)",
              "0:1:1", 3, 0xFFFFFFFFull,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.splits.push_back(WriteSplit{static_cast<uint32_t>(n[0]),
                                                       static_cast<uint32_t>(n[1]),
                                                       static_cast<uint32_t>(n[2])});
              }),
        Indexes("dropToHost", "module->host octet numbers to drop (list)", SERIAL(dropToHost)),
        Indexes("corruptToHost", "module->host octet numbers to corrupt (list)",
                SERIAL(corruptToHost)),
        Indexes("dropFromHost", "host->module octet numbers to drop (list)", SERIAL(dropFromHost)),
        Indexes("corruptFromHost", "host->module octet numbers to corrupt (list)",
                SERIAL(corruptFromHost)),
        Number("corruptXor", "XOR applied to a corrupted octet (1..0xFF)", 1, 0xFF,
               SERIAL(corruptXor), true),
        Tuple("lineEvent", "AT_MS:ERRORS, a line error (CE_ bits) or break (0) at a time (repeatable)",
              "10:8", 2, UINT64_MAX,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.lineEvents.push_back(LineEvent{n[0], static_cast<uint32_t>(n[1])});
              },
              [](const std::vector<uint64_t>& n, std::string* why) {
                  if (n[1] <= 0xFFFFFFFFull) return true;
                  *why = "error bits " + std::to_string(n[1]) + " out of range";
                  return false;
              }),
        Flag("loseOctetsWhileAsleep", "a sleeping module loses input", SERIAL(loseOctetsWhileAsleep)),
    };
    return table;
}

#undef LINE
#undef SERIAL
#undef MODEM

}  // namespace

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

bool ApplyModuleSetting(ModuleSettings& s, const std::string& key, const std::string& value,
                        std::string* error)
{
    for (const Setting& setting : Table()) {
        if (key != setting.key) continue;
        ModuleSettings changed = s;
        std::string why;
        if (!setting.apply(changed, value, &why)) {
            if (error) *error = "module setting " + key + "=" + value + ": " + why;
            return false;
        }
        s = std::move(changed);
        return true;
    }
    if (error) *error = "unknown module setting '" + key + "' (see --help)";
    return false;
}

bool ApplyModuleSetting(ModuleSettings& s, const std::string& assignment, std::string* error)
{
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) {
        if (error) *error = "a module setting is KEY=VALUE, got '" + assignment + "'";
        return false;
    }
    return ApplyModuleSetting(s, assignment.substr(0, eq), assignment.substr(eq + 1), error);
}

std::vector<SettingHelp> DescribeModuleSettings()
{
    std::vector<SettingHelp> out;
    ModuleSettings d;
    for (const Setting& setting : Table())
        out.push_back(SettingHelp{setting.key, setting.show ? setting.show(d) : std::string(),
                                  setting.example, setting.help});
    return out;
}

}  // namespace sim
