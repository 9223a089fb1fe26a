// A modem of the dispatcher tests' own on the simulated UART: it answers the
// multiplexer command and SABM/DISC the way each test scripts it, records
// every frame from the host with its time, and lets a test put any octets,
// line errors or breaks on the line. It follows the module lines: a reset of
// the module puts it back into AT command mode at 115200 bit/s.
#ifndef MUX_TESTS_SCRIPTED_MODEM_H
#define MUX_TESTS_SCRIPTED_MODEM_H

#include "serial_sim.h"
#include "module_lines.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ModemScript {
    // Answer to "AT+CMUX=0,0,7\r\n", sent in these pieces, the first
    // answerDelayMs after the command, each next one pieceGapMs later.
    bool answerCmux = true;
    std::vector<std::string> cmuxAnswer = {"\r\nO", "K\r\n"};
    uint32_t answerDelayMs = 5;
    uint32_t pieceGapMs = 30;
    // Speaks 27.010 at 460800 once the answer has left (or, silent, right
    // after the command).
    bool muxAfterCommand = true;
    // Octets sent at 460800 right after the switch (the drain must eat them).
    std::vector<uint8_t> afterSwitch;
    // UA (F = 1) for every SABM and DISC, uaDelayMs after it arrived.
    bool answerSabm = true;
    bool answerDisc = true;
    uint32_t uaDelayMs = 2;
};

struct HostFrame {
    uint64_t atMs;               // when its closing flag arrived
    std::vector<uint8_t> octets; // flag to flag
    uint8_t Dlci() const { return octets.size() > 1 ? octets[1] >> 2 : 0xFF; }
    uint8_t Control() const { return octets.size() > 2 ? octets[2] : 0; }
};

class ScriptedModem : public plat::serial::UartPeer {
public:
    // Creates "COM9:" and attaches to it and to the lines.
    ScriptedModem(sim::ModuleLines& lines, const ModemScript& script);
    ~ScriptedModem() override;

    plat::serial::SimUart& Uart() { return *uart_; }
    ModemScript& Script() { return script_; }

    // Frames from the host so far, and the text it sent in AT mode.
    std::vector<HostFrame> Frames() const;
    std::string AtText() const;
    // When the last "AT+CMUX=0,0,7\r\n" was complete, and at which host speed.
    uint64_t CmuxAtMs() const;
    uint32_t CmuxHostBaud() const;
    unsigned CmuxCount() const;
    bool InMuxMode() const;

    // A frame from the modem (FCS computed), queued behind what is queued.
    void SendFrame(uint8_t dlci, uint8_t control, const std::vector<uint8_t>& info = {},
                   uint64_t notBeforeMs = 0);
    void SendRaw(const std::vector<uint8_t>& octets, uint64_t notBeforeMs = 0);

    // Every periodMs while DLCI 0 is connected (SABM seen since the last
    // reset), frame(i) with
    // the running number i is sent; an empty result sends nothing.
    void StartTraffic(uint32_t periodMs, std::function<std::vector<uint8_t>(unsigned)> frame);
    void StopTraffic();

    void OctetFromHost(uint8_t octet, bool garbled) override;

private:
    void EnterAtMode();
    void EnterMuxMode();
    void OnFrame(const std::vector<uint8_t>& frame);

    sim::ModuleLines& lines_;
    ModemScript script_;
    std::unique_ptr<plat::serial::SimUart> uart_;
    bool mux_ = false;
    bool dlci0Up_ = false;
    std::string at_;
    std::string atAll_;
    std::vector<uint8_t> rx_;
    bool inFrame_ = false;
    std::vector<HostFrame> frames_;
    uint64_t cmuxAtMs_ = 0;
    uint32_t cmuxBaud_ = 0;
    unsigned cmuxCount_ = 0;
    unsigned resetsSeen_ = 0;
    std::vector<uint64_t> timers_;
    void TrafficTick();
    std::function<std::vector<uint8_t>(unsigned)> traffic_;
    uint32_t trafficPeriodMs_ = 0;
    unsigned trafficCount_ = 0;
    uint64_t trafficTimer_ = 0;  // pending kernel calls, cancelled on destruction
};

#endif
