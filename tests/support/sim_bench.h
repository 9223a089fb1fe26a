// A bench for the simulated module: a fresh simulated world, the module, and
// "COM9:" opened the way the driver opens it, so that a test can speak to the
// module octet by octet as its peer.
#ifndef MUX_TESTS_SIM_BENCH_H
#define MUX_TESTS_SIM_BENCH_H

#include "platform/platform.h"

#include "platform/host.h"
#include "sim/module.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// ---- frames built by the test, with the test's own FCS ----

inline uint8_t Mirror(uint8_t v)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (v & (1u << i)) r = static_cast<uint8_t>(r | (0x80u >> i));
    return r;
}

// CRC-8 with x^8 + x^2 + x + 1 (0x07) on bit-mirrored octets, preset all
// ones, result mirrored back and complemented: the FCS of 27.010 computed
// the other way round from the module's and the driver's.
inline uint8_t TestFcs(const Bytes& covered)
{
    uint8_t crc = 0xFF;
    for (uint8_t o : covered) {
        crc ^= Mirror(o);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return static_cast<uint8_t>(~Mirror(crc));
}

// A basic-option frame with one length octet (info up to 127 octets); the
// FCS covers the information of frames other than UIH. fcsDelta spoils it.
inline Bytes TestFrame(int dlci, bool cr, uint8_t control, const Bytes& info = Bytes(),
                       int fcsDelta = 0)
{
    Bytes f = {0xF9, static_cast<uint8_t>((dlci << 2) | (cr ? 2 : 0) | 1), control,
               static_cast<uint8_t>((info.size() << 1) | 1)};
    Bytes covered(f.begin() + 1, f.end());
    if ((control & 0xEF) != 0xEF) covered.insert(covered.end(), info.begin(), info.end());
    f.insert(f.end(), info.begin(), info.end());
    f.push_back(static_cast<uint8_t>(TestFcs(covered) + fcsDelta));
    f.push_back(0xF9);
    return f;
}

// What the module sends: UIH frames (data, control messages) with C/R = 0.
inline Bytes ModuleUihFrame(int dlci, const std::string& text)
{
    return TestFrame(dlci, false, 0xEF, Bytes(text.begin(), text.end()));
}

class Bench {
public:
    explicit Bench(uint64_t seed, sim::ModuleSettings settings = Defaults()) : world_(seed)
    {
        module_ = std::make_unique<sim::SimModule>(settings);
        port_ = CreateFileW(TEXT("COM9:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
        EXPECT_NE(port_, INVALID_HANDLE_VALUE);
        SetBaud(115200);
        EXPECT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR));
        COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 0, 10, 0};
        EXPECT_TRUE(SetCommTimeouts(port_, &t));
    }
    ~Bench()
    {
        CloseHandle(port_);
        module_.reset();
    }

    static sim::ModuleSettings Defaults()
    {
        sim::ModuleSettings s;
        s.lines.startRunning = true;
        return s;
    }

    sim::ModuleSerial& Serial() { return module_->Serial(); }
    sim::SimModule& Module() { return *module_; }
    HANDLE Port() { return port_; }

    void SetBaud(DWORD baud)
    {
        DCB dcb;
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = baud;
        ASSERT_TRUE(SetCommState(port_, &dcb));
    }

    void Write(const Bytes& b)
    {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(port_, b.data(), (DWORD)b.size(), &n, NULL));
        ASSERT_EQ(n, b.size());
    }
    void Write(const std::string& s) { Write(Bytes(s.begin(), s.end())); }

    // What has arrived by now.
    Bytes ReadNow()
    {
        Bytes buf(8192);
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(port_, buf.data(), (DWORD)buf.size(), &got, NULL));
        buf.resize(got);
        return buf;
    }
    // What arrives within ms.
    Bytes Collect(uint32_t ms)
    {
        Sleep(ms);
        return ReadNow();
    }
    // Waits for the next port event like the reader thread, then reads.
    Bytes WaitAndRead(uint64_t* atMs = nullptr)
    {
        DWORD mask = 0;
        EXPECT_TRUE(WaitCommEvent(port_, &mask, NULL));
        if (atMs) *atMs = plat::NowMs();
        return ReadNow();
    }

    // The handshake as the driver does it, then both sides at 460800.
    void Handshake()
    {
        Write("AT+CMUX=0,0,7\r\n");
        Bytes answer;
        while (std::string(answer.begin(), answer.end()).find("OK") == std::string::npos) {
            Bytes more = WaitAndRead();
            answer.insert(answer.end(), more.begin(), more.end());
        }
        SetBaud(460800);
        Sleep(500);
        ReadNow();
        ASSERT_EQ(Serial().GetMode(), sim::ModuleSerial::Mode::Mux);
    }

    // Straight to both sides speaking 27.010 at 460800.
    void SkipHandshake()
    {
        Serial().EnterMux(460800);
        SetBaud(460800);
    }

private:
    SimWorld world_;
    std::unique_ptr<sim::SimModule> module_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};


#endif
