// The scenarios of muxsim's client. Each begins as the radio interface layer
// does at boot: every port opened, an AT exchange and the modem status on
// each.
#include "scenario.h"

#include "driver/mux.h"
#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/ui/ui_host.h"

#include <fstream>
#include <iterator>

namespace muxsim {

namespace {

const uint32_t kAnswerMs = 3000;
const uint32_t kConnectMs = 5000;
// The module crashes this long into the crash scenario's first command;
// the driver tells of it within the notice time; the crash log is complete
// within the log time.
const uint32_t kCrashAfterMs = 2;
const uint32_t kCrashNoticeMs = 1000;
const uint32_t kCrashLogMs = 10000;
const uint32_t kPollMs = 5;
// "System\State\Phone" "Status": a data call is open.
const DWORD kPhoneDataCall = 0x1000;

bool OpenAll(RilClient& client, const std::vector<std::string>& ports, std::string* reason)
{
    if (ports.empty()) {
        *reason = "no MUX instance was activated";
        return false;
    }
    for (const std::string& port : ports) {
        if (!client.Open(port)) {
            *reason = port + " could not be opened: the multiplexer did not start (DLCI 0 not connected?)";
            return false;
        }
    }
    return true;
}

// "AT" and the modem status on every port.
bool ExchangeOnEveryPort(RilClient& client, const std::vector<std::string>& ports, std::string* reason)
{
    for (const std::string& port : ports) {
        const std::string result = client.Exchange(port, "AT\r", kAnswerMs);
        if (result != "OK") {
            *reason = port + " did not answer AT with OK" + (result.empty() ? "" : " (got " + result + ")");
            return false;
        }
        DWORD status = 0;
        if (!client.ModemStatus(port, &status)) {
            *reason = port + " gave no modem status: GetCommModemStatus failed";
            return false;
        }
    }
    return true;
}

bool Boot(ScenarioContext& c, std::string* reason)
{
    return OpenAll(c.client, c.ports, reason) && ExchangeOnEveryPort(c.client, c.ports, reason);
}

std::string ReadRilPort(const char16_t* value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\RIL", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "";
    }
    WCHAR name[32] = {};
    DWORD size = sizeof(name) - sizeof(WCHAR);
    LONG r = RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<LPBYTE>(name), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? plat::ToUtf8(name) : "";
}

// The phone's state as the radio interface layer keeps it.
void SetDataCallState(RilClient& client, bool open)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"System\\State\\Phone", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        return;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    RegQueryValueExW(key, u"Status", nullptr, nullptr, reinterpret_cast<LPBYTE>(&status), &size);
    status = open ? (status | kPhoneDataCall) : (status & ~kPhoneDataCall);
    RegSetValueExW(key, u"Status", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&status), sizeof(status));
    RegCloseKey(key);
    char text[64];
    std::snprintf(text, sizeof(text), "System\\State\\Phone Status = 0x%X", static_cast<unsigned>(status));
    client.Note("", text);
}

// A packet data call on the data port, then the module re-initialised on
// request: the call's end reaches the data and notification ports, the
// multiplexer goes down and comes back, "ModuleReinit" is signalled, and
// every port answers again.
bool Reinit(ScenarioContext& c, std::string* reason)
{
    if (!Boot(c, reason)) return false;
    RilClient& client = c.client;
    const std::vector<std::string>& ports = c.ports;
    const std::string dataPort = ReadRilPort(u"DataPort");
    const std::string notifyPort = ReadRilPort(u"ComPortNotifications");
    if (dataPort.empty() || notifyPort.empty()) {
        *reason = "Software\\Microsoft\\RIL has no DataPort or ComPortNotifications";
        return false;
    }
    const std::string connect = client.Exchange(dataPort, "ATD*99#\r", kConnectMs);
    if (connect != "CONNECT") {
        *reason = dataPort + ": the data call was not connected";
        return false;
    }
    SetDataCallState(client, true);

    HANDLE reinitEvent = CreateEventW(nullptr, FALSE, FALSE, u"ModuleReinit");
    DWORD error = 0;
    client.Control(ports.front(), IOCTL_MUX_MODULEREINIT, "IOCTL_MUX_MODULEREINIT", &error);
    const bool signalled = reinitEvent != nullptr && WaitForSingleObject(reinitEvent, 0) == WAIT_OBJECT_0;
    if (reinitEvent != nullptr) CloseHandle(reinitEvent);
    client.Note("", signalled ? "\"ModuleReinit\" signalled" : "\"ModuleReinit\" not signalled");
    SetDataCallState(client, false);

    if (!client.AwaitReceived(dataPort, "\x7E\xFF\x03\xC0\x21\x05", 0)) {
        *reason = dataPort + " did not receive the PPP Terminate-Request";
        return false;
    }
    if (!client.AwaitReceived(notifyPort, "3\r", 0)) {
        *reason = notifyPort + " did not receive NO CARRIER (\"3\\r\")";
        return false;
    }
    if (!signalled) {
        *reason = "\"ModuleReinit\" was not signalled";
        return false;
    }
    return ExchangeOnEveryPort(client, ports, reason);
}

// What the user was shown, as the platform recorded it.
bool BoxShown(const std::string& text)
{
    for (const plat::ui::MessageBoxRecord& box : plat::ui::MessageBoxes()) {
        if (plat::ToUtf8(box.text).find(text) != std::string::npos) return true;
    }
    return false;
}

std::string ReadCrashLog()
{
    std::ifstream in(plat::HostPathFor(u"\\ATARsp.txt"), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The radio interface layer's watch on "ModuleCrashed": notes the signal
// when it comes.
struct CrashWatch {
    RilClient* client = nullptr;
    HANDLE event = nullptr;
    volatile LONG told = 0;

    static DWORD WINAPI Thread(LPVOID arg)
    {
        CrashWatch* w = static_cast<CrashWatch*>(arg);
        if (WaitForSingleObject(w->event, kCrashNoticeMs + kAnswerMs) == WAIT_OBJECT_0) {
            InterlockedExchange(&w->told, 1);
            w->client->Note("", "\"ModuleCrashed\" signalled");
        }
        return 0;
    }
};

// The module crashes while the client works: "ModuleCrashed" reaches the
// client, its AT command times out, and it asks the driver for the crash
// capture: the debugging message and the final word in boxes, the crash log
// in "\ATARsp.txt".
bool Crash(ScenarioContext& c, std::string* reason)
{
    if (!Boot(c, reason)) return false;
    RilClient& client = c.client;
    const std::string& port = c.ports.front();
    CrashWatch watch;
    watch.client = &client;
    watch.event = CreateEventW(nullptr, FALSE, FALSE, u"ModuleCrashed");
    HANDLE watcher = watch.event != nullptr ? CreateThread(nullptr, 0, CrashWatch::Thread, &watch, 0, nullptr)
                                            : nullptr;
    c.module.Lines().CrashAt(plat::NowMs() + kCrashAfterMs);
    const std::string result = client.Exchange(port, "AT\r", kAnswerMs);
    if (watcher != nullptr) {
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
    }
    if (watch.event != nullptr) CloseHandle(watch.event);
    if (!watch.told) {
        *reason = "\"ModuleCrashed\" was not signalled after the module crashed";
        return false;
    }
    if (!result.empty()) {
        *reason = port + " answered AT after the module crashed";
        return false;
    }
    DWORD error = 0;
    client.Control(port, IOCTL_MUX_CRASHDEBUGCMD, "IOCTL_MUX_CRASHDEBUGCMD", &error);

    // The debugging message behind its header (its start: a long one is cut
    // to what the box holds).
    const std::string debugBox =
        "Below is debugging message:\r\n" + (c.module.Settings().serial.crash.debugText + "+++\r\n").substr(0, 20);
    const std::string finalBox = "get ATA log OK";
    // The crash log's reader goes on after the request has returned.
    for (uint32_t waited = 0; waited < kCrashLogMs && !BoxShown(finalBox); waited += kPollMs) {
        Sleep(kPollMs);
    }
    if (!BoxShown(debugBox)) {
        *reason = "the crashed module's debugging message was not shown";
        return false;
    }
    if (!BoxShown(finalBox)) {
        *reason = "the crash log was not reported complete";
        return false;
    }
    const std::string log = ReadCrashLog();
    if (log.find("========== QX7ATA Debug ==========") == std::string::npos ||
        log.find("\r\nTotal Serial Overrun ") == std::string::npos) {
        *reason = "ATARsp.txt under the device root holds no complete crash log";
        return false;
    }
    client.Note("", "ATARsp.txt: " + std::to_string(log.size()) + " bytes");
    return true;
}

// The module holds the host with FCoff while the client works, and lets it
// go with FCon half a second later: the client's AT command leaves only
// then, and is answered; no frame of the host broke the hold.
bool Flow(ScenarioContext& c, std::string* reason)
{
    const uint32_t kHoldMs = 500;
    if (!Boot(c, reason)) return false;
    sim::ModuleSerial& module = c.module.Serial();
    module.SendFcOff(true);
    for (uint32_t waited = 0; waited < kAnswerMs && !module.FcOffAnswered(); waited += kPollMs) {
        Sleep(kPollMs);
    }
    if (!module.FcOffAnswered()) {
        *reason = "the module's FCoff was not answered";
        return false;
    }
    const uint64_t fcOnAt = plat::NowMs() + kHoldMs;
    c.client.Note("", "the module sends FCoff, FCon at " + std::to_string(fcOnAt) + " ms");
    const uint64_t timer = plat::kernel::CallAt(fcOnAt, [&module] { module.SendFcOff(false); });
    const std::string& port = c.ports.front();
    const std::string result = c.client.Exchange(port, "AT\r", kAnswerMs + kHoldMs);
    plat::kernel::Cancel(timer);
    if (result != "OK") {
        *reason = port + " did not answer AT after FCon" + (result.empty() ? "" : " (got " + result + ")");
        return false;
    }
    if (plat::NowMs() < fcOnAt) {
        *reason = port + " was answered before FCon: the command was sent during FCoff";
        return false;
    }
    if (module.FramesAgainstFlow() != 0) {
        *reason = "the host sent data frames while the module's FCoff was in force";
        return false;
    }
    return ExchangeOnEveryPort(c.client, c.ports, reason);
}

}  // namespace

const std::vector<Scenario>& Scenarios()
{
    static const std::vector<Scenario> all = {
        {"boot", "every port opened, AT and the modem status on each (default)", Boot},
        {"reinit",
         "boot, a packet data call on the data port, IOCTL_MUX_MODULEREINIT, then AT on every port", Reinit},
        {"crash",
         "boot, the module crashes, \"ModuleCrashed\", AT times out, IOCTL_MUX_CRASHDEBUGCMD; the boxes "
         "on stderr, ATARsp.txt under --root",
         Crash},
        {"flow", "boot, the module holds every port with FCoff and lets go with FCon 500 ms later; "
                 "AT waits for FCon",
         Flow},
    };
    return all;
}

const Scenario* FindScenario(const std::string& name)
{
    for (const Scenario& s : Scenarios()) {
        if (name == s.name) return &s;
    }
    return nullptr;
}

}  // namespace muxsim
