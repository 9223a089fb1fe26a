// The bridge between one virtual port ("MUX1:") and its pseudo-terminal:
// one thread moves what the client writes into WriteFile on the port, one
// waits for the port's events (WaitCommEvent) and moves what ReadFile gives
// to the client. A client may close and reopen the pseudo-terminal at any
// time; what arrives while none has it open is dropped, not left for the
// next one.
//
// The port is read as soon as it has data, whether or not the client reads:
// the driver drops a frame its receive buffer has no room for, and it stops
// no flow for a slow reader. What the pseudo-terminal does not take at once
// is held (up to kHoldLimit octets) and written by a third thread as the
// client reads, in order.
//
// While the multiplexer is down (the module closed it, or it is being
// brought back) the port's calls fail as not ready: the bridge then waits
// until it is told the port is back (or a long while has passed) and tries
// again, holding what the client wrote, instead of failing. It does not
// poll meanwhile: every call on a port that is not ready is a line in the
// driver's log.
#ifndef MUX_HOST_GSMMUXD_BRIDGE_H
#define MUX_HOST_GSMMUXD_BRIDGE_H

#include "platform/platform.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace gsmmuxd {

class Bridge {
public:
    // `port`: an open handle of a serial port (the bridge neither opens nor
    // closes it); `master`: the pseudo-terminal's master side.
    Bridge(std::string name, HANDLE port, int master);
    ~Bridge();  // stops
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Sets the port's event mask and time-outs and starts both threads.
    bool Start(std::string* error);
    // Asks both threads to end without waiting for them: the client side
    // at once, the port side at its next event (setting the event mask
    // again releases a pending WaitCommEvent). A WriteFile held up by the
    // modem's flow control ends when the port does (close or deactivation).
    void RequestStop();
    // RequestStop, then waits until both threads have ended. Idempotent.
    void Stop();
    // Called now and then: releases the port thread's WaitCommEvent when
    // the port holds data nevertheless. The driver pulses its event when a
    // frame arrives; a frame that comes between the wait's check of the
    // pending events and the wait itself is announced to nobody, and its
    // data would wait for the next frame, for ever at the end of a burst.
    void Nudge();
    // The multiplexer is back: threads waiting for the port try again now.
    void Resume();

    // The port failed (a call returned an error): the bridge has stopped
    // moving data, and why, in words.
    bool Failed() const;
    std::string Failure() const;
    uint64_t OctetsToPort() const { return toPort_; }
    uint64_t OctetsToClient() const { return toClient_; }
    uint64_t OctetsDropped() const { return dropped_; }
    // Octets held for a client that does not read (beyond them: dropped).
    static constexpr size_t kHoldLimit = size_t(4) << 20;

private:
    void ClientToPort();
    void PortToClient();
    bool WriteToPort(const char* data, size_t count);
    void WriteToClient(const char* data, size_t count);
    void HeldToClient();
    size_t TryWrite(const char* data, size_t count);
    bool WaitWake(int timeoutMs);
    // After a call failed: true when the port is only not ready (the
    // bridge has waited a moment and may try again), false when it failed
    // for good or the bridge stops.
    bool PortDown(const char* call);
    void Name(const char* what) const;  // of the calling thread
    void Fail(const std::string& why);

    const std::string name_;
    const HANDLE port_;
    const int master_;
    int wakeFd_ = -1;
    int heldFd_ = -1;  // tells the held-data thread there is some
    std::atomic<bool> stop_{false};
    std::atomic<bool> portDone_{false};  // the port thread has ended
    std::atomic<bool> portWaiting_{false};  // ... is in WaitCommEvent
    std::thread clientToPort_, portToClient_, heldToClient_;
    std::mutex heldMutex_;  // held_, and the order of writes to the client
    std::deque<char> held_;
    std::atomic<uint64_t> toPort_{0}, toClient_{0}, dropped_{0};
    std::mutex downMutex_;  // resumes_, and the waits on downCv_
    std::condition_variable downCv_;
    uint64_t resumes_ = 0;
    mutable std::mutex failMutex_;
    std::string failure_;
};

}  // namespace gsmmuxd

#endif
