// Helpers for tests of the channel base and the receive parser: a channel
// class of the tests' own, a stand-in for the UART that records every frame
// written, and the modem's side as frames fed through the receive parser.
#ifndef MUX_TESTS_TEST_CHANNEL_H
#define MUX_TESTS_TEST_CHANNEL_H

#include "channel/channel.h"
#include "dispatcher/dispatcher.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A channel whose thread does only what every channel thread does: one
// control octet taken per wake, UA and DM noted as the response.
class TestChannel : public CChannel {
public:
    TestChannel(BYTE dlci, const std::u16string& channelName, LONG bufferSize = 256);
    // Does the base class's work first (Deinit, table slot), then frees the
    // buffer, so that neither the thread nor the parser can reach it.
    ~TestChannel();

    // Visible to the receive parser without Init: lock, wake event,
    // stopThread 0, pointers at the buffer start, table slot of its DLCI.
    // May be called again (after the table was reset).
    void MakeReadyForParser();

    // The unread octets of the receive buffer.
    Bytes Unread();
    // Takes everything unread the way the stream read does (buffer rewound,
    // bufferDrained set).
    Bytes Drain();
    // Takes every queued control octet, as a channel thread does on a wake.
    Bytes TakeQueued();

    std::vector<uint8_t> taken;  // control octets the thread took, in order
    int cleanups = 0;            // calls of the clean-up hook
    // When set, the thread answers a DISC from the modem with UA and then
    // deinitialises its own channel, as the control channel does when the
    // modem closes the multiplexer down.
    bool deinitOnDisc = false;
    bool threadEnded = false;

    static DWORD WINAPI Thread(LPVOID channel);
    static BOOL Cleanup(CChannel* channel);
    // With another (or no) thread procedure.
    TestChannel(BYTE dlci, const std::u16string& channelName, LONG bufferSize,
                LPTHREAD_START_ROUTINE proc);

private:
    std::u16string nameStore_;
    bool parserOnly_ = false;
};

// A 27.010 frame as the modem would send it (FCS computed).
Bytes ModemFrame(uint8_t address, uint8_t control, const Bytes& info = {});
uint8_t Address(uint8_t dlci, bool cr);

// One receive node of the tests, handed to ParseRecBytes as the read node.
void ParseNode(const Bytes& octets);
void ParseNode(const uint8_t* octets, size_t count);

// The dispatcher as the channels need it without the multiplexer: running,
// send lock and transmit buffer ready, hUART on a file under the device root,
// the module awake and GSM_RF_OK high. Undone by the destructor.
class WireFixture {
public:
    WireFixture();
    ~WireFixture();
    WireFixture(const WireFixture&) = delete;
    WireFixture& operator=(const WireFixture&) = delete;

    Bytes Written() const;
    // The written octets cut into frames by their length octets.
    std::vector<Bytes> Frames() const;

private:
    std::string path_;
    BYTE* sendBuf_ = nullptr;
};

// Runs fn on a new platform thread; Join waits for it and closes the handle.
HANDLE RunAsync(std::function<void()> fn);
void Join(HANDLE thread);

// The parser and the channel table back to their idle state.
void ResetDispatcherForTest();

#endif
