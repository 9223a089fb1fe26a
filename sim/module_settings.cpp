#include "sim/module_settings.h"

#include "sim/setting_kinds.h"

namespace sim {

namespace {

using namespace settings;

#define LINE(f) [](ModuleSettings& s) -> auto& { return s.lines.f; }
#define SERIAL(f) [](ModuleSettings& s) -> auto& { return s.serial.f; }
#define CRASH(f) [](ModuleSettings& s) -> auto& { return s.serial.crash.f; }
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
        Ms("frameGapMs", "a frame from the host whose next octet is this late is dropped (0: never), ms",
           SERIAL(frameGapMs)),
        Dlcis("noUaDlcis", "DLCIs whose SABM and DISC get no answer (mask or list 0,2,)",
              SERIAL(noUaDlcis)),
        Dlcis("noUaOnDiscDlcis", "DLCIs whose DISC gets no answer", SERIAL(noUaOnDiscDlcis)),
        Dlcis("dmDlcis", "DLCIs answered with DM instead of UA", SERIAL(dmDlcis)),
        Dlcis("uaWithoutFDlcis", "DLCIs answered with UA, F = 0", SERIAL(uaWithoutFDlcis)),
        Ms("ctrlReplyDelayMs", "control command to its response, ms", SERIAL(ctrlReplyDelayMs)),
        Flag("answerSnc", "answer SNC commands", SERIAL(answerSnc)),
        Flag("answerMsc", "answer MSC commands", SERIAL(answerMsc)),
        Flag("nscForUnknown", "answer unknown control commands with NSC", SERIAL(nscForUnknown)),
        Flag("honourHostFlow", "hold a user DLCI's data while the host's MSC has FC set "
                               "(false: ignore it)",
             SERIAL(honourHostFlow)),
        Number("flowHoldLimit", "octets of frames held per DLCI while the host holds it; "
                                "beyond, frames are dropped",
               0, UINT64_MAX, SERIAL(flowHoldLimit)),
        Tuple("fcOff", "AT_MS:FOR_MS, FCoff from the module at a time, FCon FOR_MS later "
                       "(repeatable)",
              "9000:500", 2, UINT64_MAX,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.fcOff.emplace_back(n[0], static_cast<uint32_t>(n[1]));
              },
              [](const std::vector<uint64_t>& n, std::string* why) {
                  if (n[1] <= 0xFFFFFFFFull) return true;
                  *why = "FOR_MS too large";
                  return false;
              }),
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
        // --- the crashed module ---
        Flag("crashAnswers", "a crashed module answers ATD and ATA (false: hears nothing)",
             CRASH(answer)),
        Text("crashDebugText", "the answer to ATD before \"+++\\r\\n\"", "oops\\r\\n",
             CRASH(debugText)),
        Text("crashLogText", "the crash log ATA gets (empty: crashLogOctets generated)", "log",
             CRASH(logText)),
        Number("crashLogOctets", "length of the generated crash log", 0, 100000000,
               CRASH(logOctets)),
        Number("crashChunkOctets", "octets per module write of a crash answer (0: one write)", 0,
               0xFFFFFFFFull, CRASH(chunkOctets)),
        Ms("crashChunkGapMs", "pause between the writes of a crash answer, ms", CRASH(chunkGapMs)),
        Ms("crashReplyDelayMs", "ATD/ATA to the start of the answer, ms", CRASH(replyDelayMs)),
        Flag("crashEndless", "the crash log never ends (no \"+++\\r\\n\")", CRASH(endless)),
        Tuple("crashLineEvent", "CHUNK:ERRORS, after write CHUNK (0-based) of the crash log a line "
                                "error (CE_ bits; 2 = overrun) or a break (0) (repeatable)",
              "0:2", 2, 0xFFFFFFFFull,
              [](ModuleSettings& s, const std::vector<uint64_t>& n) {
                  s.serial.crash.eventAfterChunk[static_cast<uint32_t>(n[0])] =
                      static_cast<uint32_t>(n[1]);
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
        Indexes("badFcsToHost", "module frame numbers (0-based, list) sent with a wrong FCS",
                SERIAL(badFcsToHost)),
        Number("chunkOctets", "output handed over like a USB modem: up to N octets at once, then "
                              "silence (0: at the line's rate)",
               0, 4096, SERIAL(chunkOctets)),
        Ms("chunkHoldMs", "with chunkOctets, longest an octet waits for its chunk to fill, ms",
           SERIAL(chunkHoldMs)),
    };
    return table;
}

#undef LINE
#undef SERIAL
#undef MODEM
#undef CRASH

}  // namespace

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
