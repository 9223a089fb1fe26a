// The client muxsim runs on the virtual ports: it behaves as the phone's
// radio interface layer does, through the Win32 serial API only. Each port
// it opens gets a reader thread (SetCommMask(EV_RXCHAR), a WaitCommEvent
// loop, ReadFile); the client writes AT commands and waits, in virtual time,
// for what the reader collects. Every step is noted with its virtual time.
#ifndef MUX_HOST_MUXSIM_CLIENT_H
#define MUX_HOST_MUXSIM_CLIENT_H

#include "platform/platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace muxsim {

struct ClientEvent {
    uint64_t timeMs = 0;
    std::string port;  // "MUX1:", or empty for the system
    std::string text;
};

// Octets as a quoted C-like string: printable ASCII as is, \r \n, others \xNN.
std::string Quoted(const std::string& octets);

class RilClient {
public:
    RilClient();
    ~RilClient();  // ends the readers (Stop) if still running
    RilClient(const RilClient&) = delete;
    RilClient& operator=(const RilClient&) = delete;

    // CreateFileW on the name, the event mask, and the port's reader.
    bool Open(const std::string& name);
    std::vector<std::string> Ports() const;

    // Writes `command` and waits up to timeoutMs for a final result ("OK",
    // "ERROR", "CONNECT", "NO CARRIER") behind what the port had before.
    // Returns the result ("" when none came).
    std::string Exchange(const std::string& port, const std::string& command, uint32_t timeoutMs);
    // GetCommModemStatus; false when the call failed.
    bool ModemStatus(const std::string& port, DWORD* status);
    // DeviceIoControl with no buffers; returns its result and last error.
    BOOL Control(const std::string& port, DWORD code, const char* codeName, DWORD* lastError);
    // Sleeps in virtual time until the port has received `octets` (anywhere
    // in what it got since the last Exchange) or timeoutMs passed.
    bool AwaitReceived(const std::string& port, const std::string& octets, uint32_t timeoutMs);

    // A line of the run's own, for the system or a port.
    void Note(const std::string& port, const std::string& text);

    // Ends every reader: the caller deactivates the devices after this,
    // which releases readers still waiting; then Join.
    void Stop();
    void Join();

    std::vector<ClientEvent> Events() const;

private:
    struct Port;
    static DWORD WINAPI ReaderThread(LPVOID port);
    Port* Find(const std::string& name) const;
    std::string Received(Port* p) const;

    std::vector<std::unique_ptr<Port>> ports_;
    mutable CRITICAL_SECTION lock_;
    std::vector<ClientEvent> events_;
};

}  // namespace muxsim

#endif
