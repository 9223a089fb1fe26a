#include "client.h"

#include "host/linetrace/trace.h"
#include "platform/host.h"

#include <cstdio>

namespace muxsim {

namespace {

// A reader whose wait failed (the multiplexer is down) tries again after
// this long.
const uint32_t kRetryMs = 100;
const uint32_t kPollMs = 5;

bool HasFinalResult(const std::string& text, std::string* result)
{
    for (const char* r : {"\r\nOK\r\n", "\r\nERROR\r\n", "\r\nCONNECT", "\r\nNO CARRIER\r\n"}) {
        if (text.find(r) != std::string::npos) {
            std::string s = r;
            size_t a = s.find_first_not_of("\r\n");
            size_t b = s.find_last_not_of("\r\n");
            *result = s.substr(a, b - a + 1);
            return true;
        }
    }
    return false;
}

}  // namespace

std::string Quoted(const std::string& octets)
{
    return "\"" + linetrace::Escaped(std::vector<uint8_t>(octets.begin(), octets.end())) + "\"";
}

struct RilClient::Port {
    RilClient* client = nullptr;
    std::string name;
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    volatile LONG stop = 0;
    std::string received;  // under the client's lock
};

RilClient::RilClient()
{
    InitializeCriticalSection(&lock_);
}

RilClient::~RilClient()
{
    Stop();
    Join();
    for (auto& p : ports_) {
        if (p->handle != INVALID_HANDLE_VALUE) CloseHandle(p->handle);
    }
    DeleteCriticalSection(&lock_);
}

void RilClient::Note(const std::string& port, const std::string& text)
{
    EnterCriticalSection(&lock_);
    events_.push_back(ClientEvent{plat::NowMs(), port, text});
    LeaveCriticalSection(&lock_);
}

std::vector<ClientEvent> RilClient::Events() const
{
    EnterCriticalSection(&lock_);
    std::vector<ClientEvent> copy = events_;
    LeaveCriticalSection(&lock_);
    return copy;
}

bool RilClient::Open(const std::string& name)
{
    auto p = std::make_unique<Port>();
    p->client = this;
    p->name = name;
    const std::u16string wide = plat::FromUtf8(name);
    p->handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (p->handle == INVALID_HANDLE_VALUE) {
        Note(name, "CreateFileW failed, error " + std::to_string(GetLastError()));
        return false;
    }
    if (!SetCommMask(p->handle, EV_RXCHAR)) {
        Note(name, "SetCommMask(EV_RXCHAR) failed, error " + std::to_string(GetLastError()));
        CloseHandle(p->handle);
        return false;
    }
    Note(name, "opened, SetCommMask(EV_RXCHAR)");
    Port* raw = p.get();
    ports_.push_back(std::move(p));
    raw->thread = CreateThread(nullptr, 0, ReaderThread, raw, 0, nullptr);
    return raw->thread != nullptr;
}

std::vector<std::string> RilClient::Ports() const
{
    std::vector<std::string> names;
    for (const auto& p : ports_) names.push_back(p->name);
    return names;
}

RilClient::Port* RilClient::Find(const std::string& name) const
{
    for (const auto& p : ports_) {
        if (p->name == name) return p.get();
    }
    return nullptr;
}

// WaitCommEvent, then ReadFile until the port is empty. A failed wait is
// noted once per outage and retried: the port comes back by itself when the
// driver restarts the multiplexer.
DWORD WINAPI RilClient::ReaderThread(LPVOID arg)
{
    Port* p = static_cast<Port*>(arg);
    RilClient* c = p->client;
    plat::SetCurrentThreadName("reader " + p->name);
    bool failing = false;
    while (InterlockedCompareExchange(&p->stop, 0, 0) == 0) {
        DWORD events = 0;
        if (!WaitCommEvent(p->handle, &events, nullptr)) {
            DWORD error = GetLastError();
            if (InterlockedCompareExchange(&p->stop, 0, 0) != 0) break;
            if (!failing) c->Note(p->name, "WaitCommEvent failed, error " + std::to_string(error));
            failing = true;
            Sleep(kRetryMs);
            continue;
        }
        if (failing) c->Note(p->name, "WaitCommEvent works again");
        failing = false;
        for (;;) {
            char buf[256];
            DWORD got = 0;
            if (!ReadFile(p->handle, buf, sizeof(buf), &got, nullptr) || got == 0) break;
            std::string text(buf, got);
            EnterCriticalSection(&c->lock_);
            p->received += text;
            LeaveCriticalSection(&c->lock_);
            std::string note = "<- " + Quoted(text);
            if (text.size() >= 6 && text.compare(0, 6, "\x7E\xFF\x03\xC0\x21\x05") == 0) {
                note += "  (PPP LCP Terminate-Request)";
            }
            c->Note(p->name, note);
        }
    }
    return 0;
}

std::string RilClient::Received(Port* p) const
{
    EnterCriticalSection(&lock_);
    std::string copy = p->received;
    LeaveCriticalSection(&lock_);
    return copy;
}

std::string RilClient::Exchange(const std::string& port, const std::string& command, uint32_t timeoutMs)
{
    Port* p = Find(port);
    if (p == nullptr) return "";
    EnterCriticalSection(&lock_);
    p->received.clear();
    LeaveCriticalSection(&lock_);
    Note(port, "-> " + Quoted(command));
    DWORD wrote = 0;
    if (!WriteFile(p->handle, command.data(), static_cast<DWORD>(command.size()), &wrote, nullptr)) {
        Note(port, "WriteFile failed, error " + std::to_string(GetLastError()));
        return "";
    }
    std::string result;
    for (uint32_t waited = 0; waited <= timeoutMs; waited += kPollMs) {
        if (HasFinalResult(Received(p), &result)) return result;
        Sleep(kPollMs);
    }
    Note(port, "no result within " + std::to_string(timeoutMs) + " ms");
    return "";
}

bool RilClient::AwaitReceived(const std::string& port, const std::string& octets, uint32_t timeoutMs)
{
    Port* p = Find(port);
    for (uint32_t waited = 0; p != nullptr && waited <= timeoutMs; waited += kPollMs) {
        if (Received(p).find(octets) != std::string::npos) return true;
        Sleep(kPollMs);
    }
    return false;
}

bool RilClient::ModemStatus(const std::string& port, DWORD* status)
{
    Port* p = Find(port);
    *status = 0;
    if (p == nullptr) return false;
    if (!GetCommModemStatus(p->handle, status)) {
        Note(port, "GetCommModemStatus failed, error " + std::to_string(GetLastError()));
        return false;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "GetCommModemStatus: 0x%02X", static_cast<unsigned>(*status));
    Note(port, std::string(text) + " (" + linetrace::ModemStatusNames(*status) + ")");
    return true;
}

BOOL RilClient::Control(const std::string& port, DWORD code, const char* codeName, DWORD* lastError)
{
    Port* p = Find(port);
    if (p == nullptr) return FALSE;
    Note(port, std::string("DeviceIoControl(") + codeName + ")");
    SetLastError(0);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(p->handle, code, nullptr, 0, nullptr, 0, &bytes, nullptr);
    *lastError = GetLastError();
    Note(port, std::string(codeName) + " returned " + (ok ? "TRUE" : "FALSE") + ", last error " +
                   std::to_string(*lastError));
    return ok;
}

void RilClient::Stop()
{
    for (auto& p : ports_) InterlockedExchange(&p->stop, 1);
}

void RilClient::Join()
{
    for (auto& p : ports_) {
        if (p->thread != nullptr) {
            WaitForSingleObject(p->thread, INFINITE);
            CloseHandle(p->thread);
            p->thread = nullptr;
        }
    }
}

}  // namespace muxsim
