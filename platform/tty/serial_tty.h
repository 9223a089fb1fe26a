// A real tty as the line under a serial port ("COM9:" on /dev/ttyUSB0).
// Host code only (C++17); real time only.
//
// The tty is opened without becoming the controlling terminal, exclusively
// (TIOCEXCL for other programs, an flock for those that lock the way picocom
// does, root included), in raw mode with PARMRK so that line errors and
// breaks arrive marked in the octet stream. An I/O thread polls the tty:
// received octets, marked errors, breaks and overruns (TIOCGICOUNT, where
// the tty counts them) go to the open port, no more than its receive FIFO
// has room for (the rest waits in the tty, whose own flow control applies); queued octets are written out
// and reported as transmitted once the tty's output queue (TIOCOUTQ) has let
// them go; a hang-up or an I/O error means the device went away, which the
// open port learns through BackendGone: its calls fail from then on.
#ifndef MUX_PLATFORM_SERIAL_TTY_H
#define MUX_PLATFORM_SERIAL_TTY_H

#include "platform/hw/serial_sim.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

namespace plat::serial {

// Undoes the marking PARMRK puts into a tty's input: "\377\377" is the
// octet 0xFF, "\377\0\0" a break, "\377\0" c the octet c received with a
// parity or framing error. Keeps its state between chunks, so a marker cut
// by a read boundary is still understood.
class ParmrkDecoder {
public:
    struct Sink {
        virtual ~Sink() = default;
        virtual void Octets(const uint8_t* octets, size_t count) = 0;
        virtual void ErrorOctet(uint8_t octet) = 0;
        virtual void Break() = 0;
    };
    void Feed(const uint8_t* data, size_t count, Sink& sink);

private:
    enum State { Plain, SawFF, SawFF00 } state_ = Plain;
};

// Termios speed constant for a line speed in bit/s; false when the tty has
// no constant for it.
bool SpeedConstant(uint32_t baud, speed_t* out);
// The raw-mode termios for `format`, built on `base` (the tty's own).
termios RawTermios(const termios& base, const LineFormat& format);

class TtyBackend final : public Backend {
public:
    ~TtyBackend() override;
    TtyBackend(const TtyBackend&) = delete;
    TtyBackend& operator=(const TtyBackend&) = delete;

    const std::string& Path() const { return path_; }
    // The device went away (hang-up or I/O error) and why, in words.
    bool Gone() const;
    std::string GoneReason() const;
    // Raises or drops the tty's DTR; false where the tty has none (a
    // pseudo-terminal).
    bool SetDtr(bool on);

    // ---- Backend ----
    bool Attach(PortSink* sink) override;
    void Detach(PortSink* sink) override;
    void Configure(const LineFormat& format) override;
    void Transmit(const uint8_t* octets, size_t count) override;
    void AbortTransmit() override;
    size_t TransmitQueued() const override;
    void ReceiveTaken() override;

private:
    friend std::unique_ptr<TtyBackend> OpenTtyBackend(const std::string&, const std::string&,
                                                      std::string*);
    class Decoded;
    struct ErrorCounts {
        uint64_t frame = 0, parity = 0, overrun = 0;
    };

    TtyBackend(const std::u16string& deviceName, const std::string& path, int fd,
               const termios& saved);
    void Run();
    void Wake();
    short PollEventsLocked();
    void ReadLocked();
    void WriteLocked();
    void CheckOutputLocked();
    void GoneLocked(const std::string& why);
    bool ReadCounts(ErrorCounts* counts) const;
    uint32_t ClassifyErrorLocked();
    void CheckOverrunLocked();

    const std::u16string name_;
    const std::string path_;
    int fd_;
    int wakeFd_ = -1;
    const termios saved_;
    std::thread thread_;
    // Everything below under the kernel lock.
    bool stop_ = false;
    bool gone_ = false;
    std::string goneReason_;
    PortSink* sink_ = nullptr;
    LineFormat format_;
    ParmrkDecoder decoder_;
    bool inputHeld_ = false;       // the port's FIFO is full: input waits in the tty
    std::deque<uint8_t> pending_;  // handed to Transmit, not yet written to the tty
    size_t inTty_ = 0;             // written to the tty, not yet reported as gone out
    bool countsAvailable_ = false;
    ErrorCounts counts_;
};

// Makes `deviceName` ("COM9:") open a port on the tty at `ttyPath`. Null
// with `error` in words ("/dev/ttyUSB0: busy ...") when the tty cannot be
// had, or in simulation. Destroying the backend removes the device name,
// fails the open port, restores the tty's settings and closes it.
std::unique_ptr<TtyBackend> OpenTtyBackend(const std::string& deviceName,
                                           const std::string& ttyPath, std::string* error);

}  // namespace plat::serial

#endif
