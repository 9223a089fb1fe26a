// The serial port behind "COM9:": the backend boundary and the simulated
// UART. Host code only (C++17).
//
// The port object (serial.cpp) implements the Win32 serial calls: DCB,
// time-outs, event mask and WaitCommEvent, the receive FIFO, the error word,
// ReadFile and WriteFile. Below it sits a Backend that moves octets on a
// line: the simulated UART here, wired to a simulated module, or (later) a
// real tty. Everything a backend reports to the port, and every call the port
// makes into a backend, happens with the kernel lock held.
#ifndef MUX_PLATFORM_SERIAL_SIM_H
#define MUX_PLATFORM_SERIAL_SIM_H

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace plat {
class Object;
}

namespace plat::serial {

// Character format of one side of a line.
struct LineFormat {
    uint32_t baud = 9600;
    uint8_t byteSize = 8;   // data bits, 5 to 8
    uint8_t parity = 0;     // NOPARITY, ODDPARITY, ...
    uint8_t stopBits = 0;   // ONESTOPBIT (0), ONE5STOPBITS (1), TWOSTOPBITS (2)
};

// Bits on the wire per character (start, data, parity, stop), in half bits
// so that 1.5 stop bits stay exact. 8N1 is 20 half bits = 10 bits.
unsigned HalfBitsPerChar(const LineFormat& f);
// Time one character takes on the line, in nanoseconds.
uint64_t CharTimeNs(const LineFormat& f);

// What a backend reports to the open port (kernel lock held).
class PortSink {
public:
    virtual ~PortSink() = default;
    // Octets have arrived; `errors` (CE_* bits) came with them, e.g. a
    // parity or framing error on one of them.
    virtual void Received(const uint8_t* octets, size_t count, uint32_t errors) = 0;
    // A line condition without a character: CE_FRAME, CE_RXPARITY, ...
    virtual void LineError(uint32_t errors) = 0;
    // A break was detected on input.
    virtual void BreakDetected() = 0;
    // `count` more octets of what the port handed to Transmit have left
    // the line.
    virtual void Transmitted(size_t count) = 0;
    // The backend went away (device removed): fail every call from now on.
    virtual void BackendGone() = 0;
    // Room left in the port's receive FIFO. A backend that can hold octets
    // back (a tty leaves them in the kernel) passes on no more than this.
    virtual size_t ReceiveRoom() const { return SIZE_MAX; }
};

// The line under a port. All calls with the kernel lock held.
class Backend {
public:
    virtual ~Backend() = default;
    // A port opens on the line; false when one is open already (the port
    // is exclusive, as on Windows).
    virtual bool Attach(PortSink* sink) = 0;
    virtual void Detach(PortSink* sink) = 0;
    virtual void Configure(const LineFormat& format) = 0;
    // Queues octets; progress is reported through PortSink::Transmitted.
    virtual void Transmit(const uint8_t* octets, size_t count) = 0;
    // Drops every queued octet that has not completely left the line.
    virtual void AbortTransmit() = 0;
    // Octets handed to Transmit that have not left yet.
    virtual size_t TransmitQueued() const = 0;
    // Size of the receive FIFO the port keeps for this line.
    virtual size_t ReceiveCapacity() const { return 4096; }
    // The port took octets out of its receive FIFO: there is room again.
    virtual void ReceiveTaken() {}
};

// Watches what every port hands to its line (toLine) and what its line
// delivers to it, for traces, captures and timing in host programs. Called
// with the kernel lock held, on whatever thread moves the octets: it must
// not block (copy and return). An empty function removes the tap.
using LineTap = std::function<void(bool toLine, const uint8_t* octets, size_t count)>;
void SetLineTap(LineTap tap);

// Makes the port object for a device handle on `backend` (what a device
// factory returns to CreateFileW): null with ERROR_ACCESS_DENIED when the
// line already has an open port.
Object* OpenPort(Backend* backend, const std::u16string& name);

// The Win32 serial calls as the port object behind "COM9:" implements them
// (comm.cpp routes the calls to it).
class PortCalls {
public:
    virtual BOOL GetState(LPDCB dcb) = 0;
    virtual BOOL SetState(const DCB* dcb) = 0;
    virtual BOOL GetTimeouts(LPCOMMTIMEOUTS t) = 0;
    virtual BOOL SetTimeouts(const COMMTIMEOUTS* t) = 0;
    virtual BOOL SetMask(DWORD mask) = 0;
    virtual BOOL GetMask(LPDWORD mask) = 0;
    virtual BOOL WaitEvent(LPDWORD events) = 0;
    virtual BOOL ClearError(LPDWORD errors, LPCOMSTAT stat) = 0;
    virtual BOOL ClearBreak() = 0;

protected:
    ~PortCalls() = default;
};

// The serial calls of an object if it is such a port, else null.
PortCalls* AsPort(Object* object);

// The far end of the simulated line: the module's UART. Called with the
// kernel lock held.
class UartPeer {
public:
    virtual ~UartPeer() = default;
    // One character from the host as the peer's receiver saw it: garbled
    // when the two sides run at different speeds.
    virtual void OctetFromHost(uint8_t octet, bool garbled) = 0;
};

// The octet a receiver at rxBaud makes of `octet` sent at txBaud: the
// sender's waveform (start bit, data bits LSB first, stop bit, idle high)
// sampled in the middle of each of the receiver's bit times. Equal speeds
// give the octet back.
uint8_t Garble(uint8_t octet, uint32_t txBaud, uint32_t rxBaud);

// A simulated UART, wired between the port "COM9:" (host side) and a
// UartPeer (module side). Creating it makes the device name openable with
// CreateFileW; destroying it removes the device and fails the open handles.
// Create it inside a simulated world, destroy it before the world ends.
//
// Every character takes its bit times at the sender's speed; the line
// carries one character at a time in each direction, back to back, and the
// receiver gets it when its last bit has arrived (delivery is batched per
// millisecond of platform time). The host side has a receive FIFO of
// `FifoCapacity()` octets; an octet that finds it full is lost and the port
// reports CE_OVERRUN.
class SimUart : public Backend {
public:
    explicit SimUart(const std::u16string& deviceName = u"COM9:");
    ~SimUart() override;
    SimUart(const SimUart&) = delete;
    SimUart& operator=(const SimUart&) = delete;

    // The UART of the running world, or null.
    static SimUart* Current();

    // ---- module side ----
    void AttachPeer(UartPeer* peer);  // null detaches; octets to it are then lost
    void SetPeerBaud(uint32_t baud);
    uint32_t PeerBaud() const;
    // Queues octets to the host, behind everything queued before; the
    // first goes out no earlier than notBeforeMs (0: now). Returns the
    // platform time (ms, rounded down) at which the first one starts.
    uint64_t SendToHost(const uint8_t* octets, size_t count, uint64_t notBeforeMs = 0);
    uint64_t SendToHost(const std::vector<uint8_t>& octets, uint64_t notBeforeMs = 0)
    {
        return SendToHost(octets.data(), octets.size(), notBeforeMs);
    }
    // Queues octets to the host that all arrive at one moment, behind
    // everything queued before and no earlier than notBeforeMs, the way a USB
    // modem hands its tty a whole transfer at once. Returns that moment (ms).
    uint64_t SendChunkToHost(const uint8_t* octets, size_t count, uint64_t notBeforeMs = 0);
    // A break condition on the line to the host, in order with the octets
    // (it occupies the line for one character time).
    void SendBreakToHost(uint64_t notBeforeMs = 0);
    // A line error (CE_FRAME, CE_RXPARITY, ...) reported by the host's
    // receiver at this point of the stream. With `withOctet` the error comes
    // with that character (which still arrives), otherwise on its own.
    void SendLineErrorToHost(uint32_t errors, bool withOctet = false, uint8_t octet = 0,
                             uint64_t notBeforeMs = 0);
    // Platform time (ms, rounded up) when everything queued to the host has
    // arrived.
    uint64_t ToHostIdleAtMs() const;
    size_t ToHostQueued() const;

    // ---- host side as the hardware sees it ----
    uint32_t HostBaud() const;
    bool PortOpen() const;

    // ---- knobs ----
    void SetFifoCapacity(size_t octets);  // default 4096
    size_t FifoCapacity() const;
    // Depth of the host's transmit FIFO (0, the default: none, a write
    // completes when its last octet has left; the phone's UART has 64). A
    // write completes once its last octet is in the FIFO, so that the next
    // one follows on the line without a gap while the FIFO drains, however
    // coarse the platform's clock; what is in the FIFO goes out even if the
    // write times out.
    void SetTransmitFifo(size_t octets);
    // Holds the host's transmitter (as if its clear-to-send were off):
    // queued octets wait; a write runs into its time-out.
    void SetTransmitHold(bool hold);
    // Also report CE_FRAME for every octet garbled by a speed mismatch
    // (default: garbled octets arrive as plain junk).
    void SetGarbleRaisesFrameError(bool on);
    // The host side takes every speed the module sets (for a module served
    // on a tty, whose own speed is the tty's business): nothing is garbled,
    // not even the octets in flight when the module changes its speed.
    void SetHostFollowsPeer(bool on);

    // ---- counters ----
    uint64_t OctetsToPeer() const;   // characters that reached the peer
    uint64_t OctetsToHost() const;   // characters that reached the host's receiver
    uint64_t GarbledToPeer() const;
    uint64_t GarbledToHost() const;

    // ---- Backend ----
    bool Attach(PortSink* sink) override;
    void Detach(PortSink* sink) override;
    void Configure(const LineFormat& format) override;
    void Transmit(const uint8_t* octets, size_t count) override;
    void AbortTransmit() override;
    size_t TransmitQueued() const override;
    size_t ReceiveCapacity() const override { return fifoCapacity_; }

private:
    struct Item {
        enum Kind { Octet, Break, Error } kind = Octet;
        uint8_t octet = 0;
        uint32_t errors = 0;    // CE_* for Error items
        bool withOctet = false; // Error item carrying a character
        uint32_t baud = 0;      // sender's speed
        bool started = false;   // false: waiting for the transmitter (hold)
        uint64_t endNs = 0;     // when its last bit has arrived
    };
    struct Direction {
        std::deque<Item> items;
        uint64_t lineFreeNs = 0;   // when the line is free for the next character
        uint64_t timer = 0;        // pending kernel CallAt id, 0 = none
        uint64_t timerAtMs = 0;
    };
    void AcceptIntoFifo();

    void Schedule(Direction& d, bool toHost);
    // Queues octets to the host from the later of now, the free line and
    // notBeforeMs, each charNs after the one before (0: all at once); returns
    // the start in ns. Kernel lock held.
    uint64_t QueueToHost(const uint8_t* octets, size_t count, uint64_t notBeforeMs, uint64_t charNs);
    void DeliverToPeer();
    void DeliverToHost();
    void StartHeld();

    std::u16string name_;
    UartPeer* peer_ = nullptr;
    PortSink* sink_ = nullptr;
    LineFormat hostFormat_;
    LineFormat peerFormat_;
    Direction toPeer_;
    Direction toHost_;
    bool hold_ = false;
    bool garbleFrameError_ = false;
    bool hostFollowsPeer_ = false;
    size_t fifoCapacity_ = 4096;
    size_t txFifo_ = 0;
    size_t inTxFifo_ = 0;  // the first toPeer_ items: written, in the FIFO, not yet left
    uint64_t octetsToPeer_ = 0, octetsToHost_ = 0, garbledToPeer_ = 0, garbledToHost_ = 0;
};

}  // namespace plat::serial

#endif
