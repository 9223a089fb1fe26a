#include "host/devhost/scenario.h"

#include "driver/mux.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace devhost {

const char* const kEntryNames[8] = {"Init", "PreDeinit", "Deinit", "Open",
                                    "Close", "Read", "Write", "IOControl"};

namespace {

// The data call: octets each way, in pieces of four frames.
const DWORD kDataOctets = 100 * 1024;
const DWORD kDataPiece = 4 * 127;
// The modem's guard time around "+++", with a margin.
const DWORD kEscapeGuardMs = 1100;

void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

// The watchdog: each step restarts it; a step that takes longer than the
// limit ends the process, so that a hang in the driver cannot hang the leg.
struct Watchdog {
    HANDLE stepEvent = NULL;
    volatile LONG done = 0;
    DWORD limitMs = 0;
    std::string step;
};
Watchdog g_watchdog;

DWORD WINAPI WatchdogThread(LPVOID)
{
    while (InterlockedCompareExchange(&g_watchdog.done, 0, 0) == 0) {
        if (WaitForSingleObject(g_watchdog.stepEvent, g_watchdog.limitMs) == WAIT_TIMEOUT) {
            Say("FAIL step \"%s\" did not end within %u ms", g_watchdog.step.c_str(),
                (unsigned)g_watchdog.limitMs);
            std::_Exit(3);
        }
    }
    return 0;
}

void Step(const std::string& name)
{
    g_watchdog.step = name;
    SetEvent(g_watchdog.stepEvent);
    Say("-- %s", name.c_str());
}

bool QueryDword(HKEY key, LPCWSTR name, DWORD* value)
{
    DWORD size = sizeof *value, type = 0;
    return RegQueryValueExW(key, name, NULL, &type, (LPBYTE)value, &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

bool QueryString(HKEY key, LPCWSTR name, WString* value)
{
    WCHAR buffer[128] = {0};
    DWORD size = sizeof buffer - sizeof(WCHAR), type = 0;
    if (RegQueryValueExW(key, name, NULL, &type, (LPBYTE)buffer, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    *value = buffer;
    return true;
}

bool SetString(HKEY key, LPCWSTR name, const WString& value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)value.c_str(),
                          (DWORD)((value.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

// What the device manager does before MUX_Init: the instance's active key
// with "Key" (the driver key) and "Name".
bool MakeActiveKey(const Instance& instance, size_t number, WString* path)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02u", (unsigned)number);
    *path = Widen(std::string("Drivers\\Active\\") + digits);
    HKEY key = NULL;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path->c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        &disposition) != ERROR_SUCCESS) {
        return false;
    }
    const bool ok = SetString(key, TEXT("Key"), instance.key) &&
                    SetString(key, TEXT("Name"), instance.name);
    RegCloseKey(key);
    return ok;
}

struct Port {
    const Instance* instance;
    DWORD_PTR device = 0;
    DWORD_PTR open = 0;
};

class Client {
public:
    explicit Client(const Entries& e) : e_(e) {}
    int failures = 0;

    bool Check(bool ok, const char* format, ...)
    {
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        Say("%s %s", ok ? "ok  " : "FAIL", text);
        if (!ok) ++failures;
        return ok;
    }

    bool SetMask(const Port& p, DWORD mask)
    {
        DWORD returned = 0;
        return e_.IOControl(p.open, IOCTL_SERIAL_SET_WAIT_MASK, (PBYTE)&mask, sizeof mask, NULL,
                            0, &returned) != FALSE;
    }

    // Waits for data as the radio interface layer does (the wait mask) and
    // reads until `expect` has arrived.
    bool ReadUntil(const Port& p, const std::string& expect, std::string* got)
    {
        while (got->find(expect) == std::string::npos) {
            if (!ReadOnce(p, got)) return false;
        }
        return true;
    }

    // One wait for EV_RXCHAR and one read of what is there (maybe nothing).
    bool ReadOnce(const Port& p, std::string* got)
    {
        DWORD events = 0, returned = 0;
        if (!e_.IOControl(p.open, IOCTL_SERIAL_WAIT_ON_MASK, NULL, 0, (PBYTE)&events,
                          sizeof events, &returned)) {
            return false;
        }
        char buffer[2048];
        const DWORD n = e_.Read(p.open, buffer, sizeof buffer);
        if (n == (DWORD)-1) return false;
        got->append(buffer, n);
        return true;
    }

    bool Send(const Port& p, const std::string& text)
    {
        return e_.Write(p.open, text.data(), (DWORD)text.size()) == (DWORD)text.size();
    }

    void At(const Port& p, const std::string& command, const std::string& expect)
    {
        std::string got;
        const bool ok = Send(p, command + "\r") && ReadUntil(p, expect, &got);
        const std::string shown = expect.substr(0, expect.find('\r'));
        Check(ok, "%s %s -> %s", Narrow(p.instance->name).c_str(), command.c_str(),
              ok ? shown.c_str() : "no answer");
    }

    void ModemStatus(const Port& p)
    {
        DWORD status = 0, returned = 0;
        const BOOL ok = e_.IOControl(p.open, IOCTL_SERIAL_GET_MODEMSTATUS, NULL, 0,
                                     (PBYTE)&status, sizeof status, &returned);
        Check(ok && returned == 4, "%s modem status 0x%02X", Narrow(p.instance->name).c_str(),
              (unsigned)status);
    }

    void DataCall(const Port& p);
    void Reinit(const Port& p, const std::vector<Port>& ports);

private:
    const Entries& e_;
};

// ATD*99#, then 100 kB out and the modem's echo of it back, then
// "+++" between its guard times ends the call.
void Client::DataCall(const Port& p)
{
    std::string got;
    const bool connected = Send(p, "ATD*99#\r") && ReadUntil(p, "CONNECT\r\n", &got);
    if (!Check(connected, "%s ATD*99# -> CONNECT", Narrow(p.instance->name).c_str())) return;

    // Each piece is read back before the next goes out, so that no more
    // frames are on their way to the port than its control-octet ring holds
    // (five): a log that counts lost control octets would differ from run to
    // run, and a lost octet can leave a waiting client without its event.
    std::string data(kDataOctets, '\0');
    for (DWORD i = 0; i < kDataOctets; ++i) data[i] = (char)((i * 7 + 13) % 251);
    std::string echo;
    DWORD written = 0;
    while (written < kDataOctets) {
        const DWORD n = std::min(kDataPiece, kDataOctets - written);
        if (e_.Write(p.open, data.data() + written, n) != n) break;
        written += n;
        while (echo.size() < written) {
            if (!ReadOnce(p, &echo)) break;
        }
        if (echo.size() < written) break;
    }
    Check(written == kDataOctets, "%u octets written", (unsigned)written);
    Check(echo == data, "%u octets read back, %s", (unsigned)echo.size(),
          echo == data ? "the same" : "NOT the same");

    Sleep(kEscapeGuardMs);
    std::string ok;
    const bool ended = Send(p, "+++") && ReadUntil(p, "OK\r\n", &ok);
    Check(ended, "%s +++ -> OK", Narrow(p.instance->name).c_str());
}

// The module re-initialisation: the control fails by design and signals
// "ModuleReinit" when the link is up again; every port answers AT after it.
void Client::Reinit(const Port& p, const std::vector<Port>& ports)
{
    HANDLE reinit = CreateEventW(NULL, FALSE, FALSE, TEXT("ModuleReinit"));
    DWORD returned = 0;
    const BOOL result = e_.IOControl(p.open, IOCTL_MUX_MODULEREINIT, NULL, 0, NULL, 0, &returned);
    Check(result == FALSE, "%s IOCTL_MUX_MODULEREINIT returns FALSE",
          Narrow(p.instance->name).c_str());
    Check(reinit != NULL && WaitForSingleObject(reinit, 0) == WAIT_OBJECT_0,
          "\"ModuleReinit\" signalled");
    if (reinit != NULL) CloseHandle(reinit);
    for (size_t i = 0; i < ports.size(); ++i) At(ports[i], "AT", "OK\r\n");
}

}  // namespace

std::string Narrow(const WString& s)
{
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) r += (s[i] < 0x80) ? (char)s[i] : '?';
    return r;
}

WString Widen(const std::string& s)
{
    WString r;
    for (size_t i = 0; i < s.size(); ++i) r += (WCHAR)(unsigned char)s[i];
    return r;
}

std::vector<Instance> InstancesInOrder(const WString& builtInRoot,
                                       const std::vector<WString>& subkeyNames)
{
    std::vector<Instance> found;
    for (size_t i = 0; i < subkeyNames.size(); ++i) {
        Instance instance;
        instance.key = builtInRoot + TEXT("\\") + subkeyNames[i];
        HKEY key = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, instance.key.c_str(), 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS) {
            continue;
        }
        WString prefix;
        DWORD index = 0;
        const bool ok = QueryDword(key, TEXT("Order"), &instance.order) &&
                        QueryString(key, TEXT("Prefix"), &prefix) &&
                        QueryDword(key, TEXT("Index"), &index);
        RegCloseKey(key);
        if (!ok) continue;
        instance.name = prefix + Widen(std::to_string(index)) + TEXT(":");
        found.push_back(instance);
    }
    std::stable_sort(found.begin(), found.end(), [](const Instance& a, const Instance& b) {
        return a.order < b.order;
    });
    return found;
}

int Run(const Entries& e, const std::vector<Instance>& instances, DWORD stepLimitMs)
{
    g_watchdog.stepEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    g_watchdog.limitMs = stepLimitMs;
    HANDLE watchdog = CreateThread(NULL, 0, WatchdogThread, NULL, 0, NULL);
    Client client(e);
    std::vector<Port> ports(instances.size());

    Step("activate every instance in \"Order\"");
    for (size_t i = 0; i < instances.size(); ++i) {
        ports[i].instance = &instances[i];
        WString active;
        if (!client.Check(MakeActiveKey(instances[i], i + 1, &active), "%s active key",
                          Narrow(instances[i].name).c_str())) {
            continue;
        }
        ports[i].device = e.Init(active.c_str(), NULL);
        client.Check(ports[i].device != 0, "%s MUX_Init(%s)", Narrow(instances[i].name).c_str(),
                     Narrow(active).c_str());
    }

    Step("open every port");
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].device == 0) continue;
        ports[i].open = e.Open(ports[i].device, GENERIC_READ | GENERIC_WRITE, 0);
        if (client.Check(ports[i].open != 0, "%s open", Narrow(instances[i].name).c_str())) {
            client.Check(client.SetMask(ports[i], EV_RXCHAR), "%s wait mask EV_RXCHAR",
                         Narrow(instances[i].name).c_str());
        }
    }
    std::vector<Port> open;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].open != 0) open.push_back(ports[i]);
    }

    Step("AT on every port");
    for (size_t i = 0; i < open.size(); ++i) client.At(open[i], "AT", "OK\r\n");

    Step("modem status of every port");
    for (size_t i = 0; i < open.size(); ++i) client.ModemStatus(open[i]);

    Step("data call");
    const Port* data = NULL;
    for (size_t i = 0; i < open.size(); ++i) {
        if (open[i].instance->name == TEXT("MUX2:")) data = &open[i];
    }
    if (client.Check(data != NULL, "a data port \"MUX2:\"")) client.DataCall(*data);

    Step("module re-initialisation");
    if (client.Check(!open.empty(), "a port to ask on")) client.Reinit(open[0], open);

    Step("close, PreDeinit and Deinit every instance");
    for (size_t i = 0; i < open.size(); ++i) {
        client.Check(e.Close(open[i].open) != FALSE, "%s close",
                     Narrow(open[i].instance->name).c_str());
    }
    for (size_t i = ports.size(); i-- > 0;) {
        if (ports[i].device == 0) continue;
        if (e.PreDeinit != NULL) e.PreDeinit(ports[i].device);
        client.Check(e.Deinit(ports[i].device) != FALSE, "%s deinit",
                     Narrow(instances[i].name).c_str());
    }

    InterlockedExchange(&g_watchdog.done, 1);
    SetEvent(g_watchdog.stepEvent);
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
    CloseHandle(g_watchdog.stepEvent);
    Say("%d step(s) failed", client.failures);
    return client.failures == 0 ? 0 : 1;
}

}  // namespace devhost
