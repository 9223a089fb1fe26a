// The serial port object behind "COM9:": it keeps what the Windows serial
// driver keeps (DCB, time-outs, event mask and event history, error word,
// receive FIFO) and leaves moving octets to its Backend (serial_sim.h). The
// Win32 serial calls reach it through comm.cpp.
#include "platform/platform.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/object.h"
#include "platform/hw/serial_sim.h"

#include <algorithm>
#include <deque>
#include <string>

namespace plat::serial {

unsigned HalfBitsPerChar(const LineFormat& f)
{
    unsigned half = 2 /* start */ + 2u * f.byteSize;
    if (f.parity != NOPARITY) half += 2;
    switch (f.stopBits) {
    case 1: half += 3; break;  // ONE5STOPBITS
    case 2: half += 4; break;  // TWOSTOPBITS
    default: half += 2; break; // ONESTOPBIT
    }
    return half;
}

uint64_t CharTimeNs(const LineFormat& f)
{
    const uint64_t baud = f.baud ? f.baud : 1;
    return (uint64_t(HalfBitsPerChar(f)) * 1000000000ull) / (2 * baud);
}

namespace {

// The event bits a wait can report.
const DWORD kAllEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD |
                         EV_BREAK | EV_ERR | EV_RING;

// Under the kernel lock.
LineTap& Tap()
{
    static LineTap tap;
    return tap;
}

class SerialPort final : public Object, public PortSink, public PortCalls {
public:
    SerialPort(Backend* backend, const std::u16string& name)
        : Object(ObjectKind::Device), backend_(backend), name_(plat::ToUtf8(name))
    {
        memset(&dcb_, 0, sizeof dcb_);
        dcb_.DCBlength = sizeof(DCB);
        dcb_.BaudRate = 9600;
        dcb_.fBinary = 1;
        dcb_.fDtrControl = DTR_CONTROL_ENABLE;
        dcb_.fRtsControl = RTS_CONTROL_ENABLE;
        dcb_.XonLim = 2048;
        dcb_.XoffLim = 512;
        dcb_.ByteSize = 8;
        dcb_.Parity = NOPARITY;
        dcb_.StopBits = ONESTOPBIT;
        dcb_.XonChar = 0x11;
        dcb_.XoffChar = 0x13;
        memset(&timeouts_, 0, sizeof timeouts_);
        waitWhat_ = "WaitCommEvent(" + name_ + ")";
        readWhat_ = "ReadFile(" + name_ + ")";
        writeWhat_ = "WriteFile(" + name_ + ")";
    }

    ~SerialPort() override
    {
        kernel::Lock lock(kernel::Mutex());
        DetachLocked();
    }

    // Attaches to the line; false when the line already has a port.
    bool Open()
    {
        kernel::Lock lock(kernel::Mutex());
        if (!backend_->Attach(this)) return false;
        backend_->Configure(Format());
        return true;
    }

    BOOL Close() override
    {
        kernel::Lock lock(kernel::Mutex());
        DetachLocked();
        return TRUE;
    }

    std::string Describe() const override { return "serial port '" + name_ + "'"; }

    // ---- the serial calls ----
    BOOL GetState(LPDCB dcb) override
    {
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
        *dcb = dcb_;
        return TRUE;
    }

    BOOL SetState(const DCB* dcb) override
    {
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (!dcb || dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
            dcb->Parity > 4 || dcb->StopBits > 2)
            return Fail(ERROR_INVALID_PARAMETER);
        dcb_ = *dcb;
        dcb_.DCBlength = sizeof(DCB);
        backend_->Configure(Format());
        return TRUE;
    }

    BOOL GetTimeouts(LPCOMMTIMEOUTS t) override
    {
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (!t) return Fail(ERROR_INVALID_PARAMETER);
        *t = timeouts_;
        return TRUE;
    }

    BOOL SetTimeouts(const COMMTIMEOUTS* t) override
    {
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (!t) return Fail(ERROR_INVALID_PARAMETER);
        timeouts_ = *t;
        return TRUE;
    }

    BOOL SetMask(DWORD mask) override
    {
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        // A new mask forgets the events seen so far and ends a pending wait,
        // which then reports an empty mask.
        mask_ = mask & kAllEvents;
        history_ = 0;
        ++maskGeneration_;
        kernel::Notify();
        return TRUE;
    }

    BOOL GetMask(LPDWORD mask) override
    {
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (!mask) return Fail(ERROR_INVALID_PARAMETER);
        *mask = mask_;
        return TRUE;
    }

    BOOL WaitEvent(LPDWORD events) override
    {
        if (events) *events = 0;
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        // One wait at a time per port, and none without a mask: Windows
        // refuses both.
        if (waitPending_ || mask_ == 0) return Fail(ERROR_INVALID_PARAMETER);
        const uint64_t generation = maskGeneration_;
        waitPending_ = true;
        kernel::WaitUntil(
            lock, [&] { return !Alive() || history_ != 0 || maskGeneration_ != generation; },
            kernel::kForever, waitWhat_.c_str());
        waitPending_ = false;
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        DWORD reported = 0;
        if (maskGeneration_ == generation) {
            reported = history_;
            history_ = 0;
        }
        if (events) *events = reported;
        return TRUE;
    }

    BOOL ClearError(LPDWORD errors, LPCOMSTAT stat) override
    {
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (errors) *errors = errors_;
        errors_ = 0;
        if (stat) {
            memset(stat, 0, sizeof *stat);
            stat->cbInQue = static_cast<DWORD>(fifo_.size());
            stat->cbOutQue = static_cast<DWORD>(backend_->TransmitQueued());
        }
        return TRUE;
    }

    BOOL ClearBreak() override
    {
        // Ends a break this side is sending. This port never sends one, so
        // there is nothing to end; the call only checks the handle, as on
        // Windows. (The receive side's CE_BREAK stays in the error word
        // until ClearCommError reads it.)
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        return TRUE;
    }

    // ---- file operations ----
    BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read) override
    {
        if (read) *read = 0;
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (toRead == 0) return TRUE;
        if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
        BYTE* out = static_cast<BYTE*>(buffer);
        DWORD got = Take(out, toRead);

        const COMMTIMEOUTS t = timeouts_;
        // Interval MAXDWORD with no total constant: return at once with what
        // has arrived (the multiplier may be 0 or MAXDWORD).
        const bool immediate = t.ReadIntervalTimeout == MAXDWORD &&
                               t.ReadTotalTimeoutConstant == 0 &&
                               (t.ReadTotalTimeoutMultiplier == 0 ||
                                t.ReadTotalTimeoutMultiplier == MAXDWORD);
        // Interval and multiplier MAXDWORD with a constant: return at once
        // with what is there, else wait up to the constant for the first octet.
        const bool firstOctet = t.ReadIntervalTimeout == MAXDWORD &&
                                t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                                t.ReadTotalTimeoutConstant != 0 &&
                                t.ReadTotalTimeoutConstant != MAXDWORD;
        if (immediate || (firstOctet && got > 0)) {
            if (read) *read = got;
            return TRUE;
        }

        const uint64_t start = plat::NowMs();
        uint64_t totalDeadline = kernel::kForever;
        if (firstOctet) {
            totalDeadline = start + t.ReadTotalTimeoutConstant;
        } else if (t.ReadTotalTimeoutMultiplier != MAXDWORD &&
                   (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
            totalDeadline = start + uint64_t(t.ReadTotalTimeoutMultiplier) * toRead +
                            t.ReadTotalTimeoutConstant;
        }
        const uint64_t interval =
            (!firstOctet && t.ReadIntervalTimeout != MAXDWORD) ? t.ReadIntervalTimeout : 0;

        while (got < toRead) {
            if (firstOctet && got > 0) break;
            uint64_t deadline = totalDeadline;
            if (interval && got > 0) {
                const uint64_t intervalEnd = lastArrivalMs_ + interval;
                if (plat::NowMs() >= intervalEnd) break;
                deadline = std::min(deadline, intervalEnd);
            }
            const bool ready = kernel::WaitUntil(
                lock, [&] { return !Alive() || !fifo_.empty(); }, deadline, readWhat_.c_str());
            if (!Alive()) {
                if (read) *read = got;
                return Fail(ERROR_INVALID_HANDLE);
            }
            got += Take(out + got, toRead - got);
            if (!ready && plat::NowMs() >= totalDeadline) break;
        }
        if (read) *read = got;
        return TRUE;
    }

    BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written) override
    {
        if (written) *written = 0;
        kernel::Lock lock(kernel::Mutex());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        if (toWrite == 0) return TRUE;
        if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
        // Writes on one port go out one after the other.
        kernel::WaitUntil(lock, [&] { return !Alive() || !writeBusy_; }, kernel::kForever,
                          writeWhat_.c_str());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        writeBusy_ = true;
        const uint64_t first = transmitted_;
        const uint64_t target = first + toWrite;
        const COMMTIMEOUTS t = timeouts_;
        const uint64_t budget =
            uint64_t(t.WriteTotalTimeoutMultiplier) * toWrite + t.WriteTotalTimeoutConstant;
        const uint64_t deadline = budget ? plat::NowMs() + budget : kernel::kForever;
        if (Tap()) Tap()(true, static_cast<const uint8_t*>(buffer), toWrite);
        backend_->Transmit(static_cast<const uint8_t*>(buffer), toWrite);
        const bool done = kernel::WaitUntil(
            lock, [&] { return !Alive() || transmitted_ >= target; }, deadline,
            writeWhat_.c_str());
        if (!done && Alive()) backend_->AbortTransmit();  // the rest never goes out
        const uint64_t sent = std::min<uint64_t>(transmitted_ - first, toWrite);
        transmitted_ = first + sent;
        writeBusy_ = false;
        kernel::Notify();
        if (written) *written = static_cast<DWORD>(sent);
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        // A write that runs into its time-out completes, short.
        return TRUE;
    }

    BOOL Flush() override
    {
        // A write completes once its octets are in the UART's transmit FIFO:
        // wait until the FIFO has drained onto the line.
        kernel::Lock lock(kernel::Mutex());
        kernel::WaitUntil(lock, [&] { return !Alive() || backend_->TransmitQueued() == 0; },
                          kernel::kForever, writeWhat_.c_str());
        if (!Alive()) return Fail(ERROR_INVALID_HANDLE);
        return TRUE;
    }

    // ---- PortSink ----
    void Received(const uint8_t* octets, size_t count, uint32_t errors) override
    {
        if (count && Tap()) Tap()(false, octets, count);
        const size_t capacity = backend_ ? backend_->ReceiveCapacity() : 0;
        for (size_t i = 0; i < count; ++i) {
            if (fifo_.size() >= capacity) {
                errors_ |= CE_OVERRUN;  // the octet is lost
                Raise(EV_ERR);
                continue;
            }
            fifo_.push_back(octets[i]);
            Raise(EV_RXCHAR);
            if (static_cast<uint8_t>(dcb_.EvtChar) == octets[i]) Raise(EV_RXFLAG);
        }
        if (count) lastArrivalMs_ = plat::NowMs();
        if (errors) {
            errors_ |= errors;
            Raise(EV_ERR);
        }
        kernel::Notify();
    }

    void LineError(uint32_t errors) override
    {
        errors_ |= errors;
        Raise(EV_ERR);
        kernel::Notify();
    }

    void BreakDetected() override
    {
        errors_ |= CE_BREAK;
        Raise(EV_BREAK);
        kernel::Notify();
    }

    void Transmitted(size_t count) override
    {
        transmitted_ += count;
        if (backend_ && backend_->TransmitQueued() == 0) Raise(EV_TXEMPTY);
        kernel::Notify();
    }

    void BackendGone() override
    {
        backend_ = nullptr;
        kernel::Notify();
    }

    size_t ReceiveRoom() const override
    {
        const size_t capacity = backend_ ? backend_->ReceiveCapacity() : 0;
        return capacity - std::min(capacity, fifo_.size());
    }

private:
    bool Alive() const { return backend_ != nullptr; }

    static BOOL Fail(DWORD error)
    {
        SetLastError(error);
        return FALSE;
    }

    void DetachLocked()
    {
        if (backend_) {
            backend_->AbortTransmit();
            backend_->Detach(this);
            backend_ = nullptr;
        }
        kernel::Notify();
    }

    void Raise(DWORD event)
    {
        if (mask_ & event) history_ |= event;
    }

    DWORD Take(BYTE* out, DWORD room)
    {
        const DWORD n = static_cast<DWORD>(std::min<size_t>(room, fifo_.size()));
        std::copy(fifo_.begin(), fifo_.begin() + n, out);
        fifo_.erase(fifo_.begin(), fifo_.begin() + n);
        if (n && backend_) backend_->ReceiveTaken();
        return n;
    }

    LineFormat Format() const
    {
        LineFormat f;
        f.baud = dcb_.BaudRate;
        f.byteSize = dcb_.ByteSize;
        f.parity = dcb_.Parity;
        f.stopBits = dcb_.StopBits;
        return f;
    }

    Backend* backend_;
    const std::string name_;
    std::string waitWhat_, readWhat_, writeWhat_;
    DCB dcb_;
    COMMTIMEOUTS timeouts_;
    DWORD mask_ = 0;
    DWORD history_ = 0;       // events in the mask since the last wait or mask change
    uint64_t maskGeneration_ = 0;
    bool waitPending_ = false;
    DWORD errors_ = 0;        // CE_* until ClearCommError
    std::deque<uint8_t> fifo_;
    uint64_t lastArrivalMs_ = 0;
    bool writeBusy_ = false;
    uint64_t transmitted_ = 0;  // octets that have left the line, all writes
};

}  // namespace

void SetLineTap(LineTap tap)
{
    kernel::Lock lock(kernel::Mutex());
    Tap() = std::move(tap);
}

Object* OpenPort(Backend* backend, const std::u16string& name)
{
    SerialPort* port = new SerialPort(backend, name);
    if (!port->Open()) {
        port->Release();
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return port;
}

PortCalls* AsPort(Object* object)
{
    return dynamic_cast<SerialPort*>(object);
}

}  // namespace plat::serial
