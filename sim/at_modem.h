// The module's modem command side: one AT command interpreter per place the
// host can talk to it (the UART before the multiplexer, and each user DLCI).
// Pure logic on text, with the time passed in; the serial half owns the
// timers and the line. Host code (C++17).
//
// A command line starts at "AT" (or "at"; what comes before it is ignored,
// as a modem hunts for the prefix) and ends at CR; spaces are ignored, LF is
// not part of a line. Basic commands may be strung together ("ATE0V1"),
// extended ones are separated by ';'. Results follow ATV: verbose
// "\r\nOK\r\n", numeric "0\r"; ATQ1 suppresses them. Information text is
// "\r\n<text>\r\n" (ATV1) or "<text>\r\n" (ATV0).
//
// Commands: AT, ATE0/1, ATV0/1, ATQ0/1, ATZ, AT&F, ATH, ATI, ATO (ERROR: no
// call to return to), ATD, AT+CGMI, AT+CGMM, AT+CGMR, AT+CGSN, AT+CSQ,
// AT+CREG?/=n, AT+CPIN?, AT+CFUN?/=n, AT+COPS?, AT+CGDCONT=..., AT+CMEE=n,
// AT+CMUX=?/?; anything else ERROR. ATD*99... (the packet data call) answers
// CONNECT and enters data mode; other numbers answer NO CARRIER. In data
// mode every octet is data; "+++" with the guard time before and after it
// ends the call with OK.
#ifndef MUX_SIM_AT_MODEM_H
#define MUX_SIM_AT_MODEM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class DataMode {
    Echo,    // data from the host comes back
    Sink,    // data from the host is counted and dropped
    Source,  // after CONNECT the module sends sourceOctets octets, then NO CARRIER
};

// A text the module sends on its own on a DLCI at a time ("RING").
struct Unsolicited {
    int dlci = 1;
    uint64_t atMs = 0;
    std::string text;
};

// The module stops the host's sending on a DLCI with MSC FC = 1 at atMs and
// lets it go on with FC = 0 forMs later.
struct FlowStop {
    int dlci = 1;
    uint64_t atMs = 0;
    uint32_t forMs = 0;
};

struct ModemSettings {
    uint64_t modemDlcis = 0;  // bit d: an interpreter on DLCI d (1..63); none by default
    uint32_t replyDelayMs = 10;          // command line to its result
    bool echo = true;                    // ATE after boot on a user DLCI
    std::string manufacturer = "Simulated Modems";
    std::string model = "SM-27010";
    std::string revision = "1.0.0";
    std::string serialNumber = "351234567890123";
    uint32_t rssi = 20;     // +CSQ
    uint32_t ber = 99;
    uint32_t regStatus = 1; // +CREG stat: 1 registered, home network
    std::string pin = "READY";
    std::string operatorName = "SIM NET";
    DataMode dataMode = DataMode::Echo;
    uint64_t sourceOctets = 1000;
    uint32_t guardMs = 1000;  // before and after "+++"
    uint32_t n1 = 127;        // largest information field when AT+CMUX names none
    std::vector<Unsolicited> unsolicited;
    std::vector<FlowStop> flowStops;
};

class AtModem {
public:
    struct Output {
        std::string now;        // echo, or data echoed in data mode: at once
        std::string reply;      // results and information: after the reply delay
        bool connected = false; // the reply ends with CONNECT: data mode follows
        bool escapeCheck = false;  // "+++" complete: call EscapeCheck guardMs later
    };
    // A command the owner handles itself (AT+CMUX on the UART). Gets the
    // command in upper case without "AT", e.g. "+CMUX=0,0,7"; returns false
    // to leave it to the interpreter, or true with *info (may be empty) and
    // *ok for the result.
    using Extension = std::function<bool(const std::string& cmd, std::string* info, bool* ok)>;

    AtModem(const ModemSettings& settings, bool echo);

    void SetExtension(Extension e) { extension_ = std::move(e); }
    Output Feed(const std::vector<uint8_t>& octets, uint64_t nowMs);
    // guardMs after "+++": true when nothing came since, the call then
    // ended, and *reply holds the result.
    bool EscapeCheck(uint64_t nowMs, std::string* reply);
    // The host hung up otherwise (DISC on the DLCI): back to commands.
    void EndCall();
    // The source's data is all out: NO CARRIER, back to commands.
    std::string SourceDone();
    bool InDataCall() const { return dataCall_; }
    uint64_t DataReceived() const { return dataReceived_; }
    // A text framed as this interpreter frames information ("RING").
    std::string Framed(const std::string& text) const;
    // The lines executed so far, as received (without CR).
    const std::vector<std::string>& Commands() const { return commands_; }

private:
    enum Result { kOk = 0, kConnect = 1, kRing = 2, kNoCarrier = 3, kError = 4 };
    void Line(const std::string& raw, Output* out);
    bool Basic(const std::string& cmd, size_t* pos, std::string* info, Result* result);
    bool Extended(const std::string& cmd, std::string* info);
    std::string ResultText(Result r) const;
    void DataOctet(uint8_t o, uint64_t nowMs, Output* out);

    ModemSettings settings_;
    bool echo_, bootEcho_;
    bool verbose_ = true, quiet_ = false;
    uint32_t cregMode_ = 0, cfun_ = 1, cmee_ = 0;
    std::string line_;
    bool dataCall_ = false;
    uint64_t dataReceived_ = 0;
    uint64_t lastDataMs_ = 0;
    int pluses_ = 0;
    uint64_t plusAtMs_ = 0;
    std::vector<std::string> commands_;
    Extension extension_;
};

}  // namespace sim

#endif
