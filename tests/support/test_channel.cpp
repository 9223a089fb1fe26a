#include "test_channel.h"

#include "framing/frame.h"
#include "channel/rx_buffer.h"
#include "platform/host.h"
#include "modem/lines.h"
#include "platform/hw/ioport_sim.h"

#include <fstream>
#include <iterator>
#include <memory>

TestChannel::TestChannel(BYTE dlci, const std::u16string& channelName, LONG bufferSize)
    : TestChannel(dlci, channelName, bufferSize, &TestChannel::Thread)
{
}

TestChannel::TestChannel(BYTE dlci, const std::u16string& channelName, LONG bufferSize,
                         LPTHREAD_START_ROUTINE proc)
    : CChannel(dlci, proc, &TestChannel::Cleanup), nameStore_(channelName)
{
    rxSize = bufferSize;
    rxBase = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bufferSize));
    SetName(nameStore_.c_str());
}

TestChannel::~TestChannel()
{
    if (parserOnly_) {
        stopThread = 1;
        g_dispatcher.UnregisterChannel(this);
        CloseHandle(wakeEvent);
        wakeEvent = NULL;
        DeleteCriticalSection(&rxLock);
    } else {
        if (initialized) Deinit();
        g_dispatcher.UnregisterChannel(this);
    }
    HeapFree(GetProcessHeap(), 0, rxBase);
    rxBase = rxRead = rxWrite = rxLast = rxEnd = NULL;
}

void TestChannel::MakeReadyForParser()
{
    if (!parserOnly_) {
        parserOnly_ = true;
        InitializeCriticalSection(&rxLock);
        wakeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    }
    rxRead = rxLast = rxWrite = rxBase;
    rxEnd = rxBase + rxSize;
    stopThread = 0;
    g_dispatcher.channels[Dlci()] = this;
}

Bytes TestChannel::Unread()
{
    EnterCriticalSection(&rxLock);
    Bytes out(rxRead, rxWrite);
    LeaveCriticalSection(&rxLock);
    return out;
}

Bytes TestChannel::Drain()
{
    Bytes out(static_cast<size_t>(rxEnd - rxBase));
    out.resize(RxBufferTake(this, out.data(), static_cast<DWORD>(out.size())));
    return out;
}

Bytes TestChannel::TakeQueued()
{
    Bytes out;
    BYTE x;
    while (TakeControlOctet(&x)) out.push_back(x);
    return out;
}

DWORD WINAPI TestChannel::Thread(LPVOID arg)
{
    TestChannel* ch = static_cast<TestChannel*>(arg);
    while (ch->stopThread == 0) {
        WaitForSingleObject(ch->wakeEvent, INFINITE);
        if (ch->stopThread != 0) break;
        BYTE x;
        while (ch->stopThread == 0 && ch->TakeControlOctet(&x)) {
            ch->taken.push_back(x);
            ch->NoteResponse(x);
            if (ch->deinitOnDisc && (x | 0x10) == 0x53) {
                ch->SendUA();
                ch->MarkDisconnected();
                ch->stopThread = 1;
                ch->Deinit();
            }
        }
    }
    ch->threadEnded = true;
    return 0;
}

BOOL TestChannel::Cleanup(CChannel* channel)
{
    static_cast<TestChannel*>(channel)->cleanups++;
    return TRUE;
}

uint8_t Address(uint8_t dlci, bool cr)
{
    return static_cast<uint8_t>((dlci << 2) | (cr ? 0x02 : 0x00) | 0x01);
}

Bytes ModemFrame(uint8_t address, uint8_t control, const Bytes& info)
{
    const uint8_t length = static_cast<uint8_t>((info.size() << 1) | 1);
    const BYTE header[3] = {address, control, length};
    Bytes f;
    f.reserve(info.size() + 6);
    f.push_back(0xF9);
    f.push_back(address);
    f.push_back(control);
    f.push_back(length);
    for (uint8_t b : info) f.push_back(b);
    f.push_back(ComputeFCS(header, 3));
    f.push_back(0xF9);
    return f;
}

void ParseNode(const uint8_t* octets, size_t count)
{
    // A copy of its own each time, from the heap and exactly as long as the
    // octets, so that a read before the first octet or past the last is
    // caught by the sanitizers.
    std::unique_ptr<BYTE[]> copy(new BYTE[count == 0 ? 1 : count]);
    if (count != 0) memcpy(copy.get(), octets, count);
    g_dispatcher.ParseOctets(copy.get(), static_cast<DWORD>(count));
}

void ParseNode(const Bytes& octets)
{
    ParseNode(octets.data(), octets.size());
}

void ResetDispatcherForTest()
{
    g_dispatcher.Reset();
    g_dispatcher.parse.state = PS_FLAG;
    g_dispatcher.pCurChannel = NULL;
    g_dispatcher.parse.remaining = 0;
    pFrameBufPos = frameBuffer;
    bufferDrained = 1;
}

WireFixture::WireFixture()
{
    ResetDispatcherForTest();
    path_ = plat::HostPathFor(u"\\wire.bin");
    hUART = CreateFileW(TEXT("\\wire.bin"), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    sendBuf_ = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, MUX_SEND_BUF_SIZE));
    g_dispatcher.pSendBuf = sendBuf_;
    g_dispatcher.sendLength = 0;
    InitializeCriticalSection(&g_dispatcher.csSend);
    // Module awake (D1 low), GSM_RF_OK high.
    plat::ioport::SetInput(IOPORT_D_DATA, PIN_D1_SLEEP, false);
    plat::ioport::SetInput(IOPORT_F_DATA, PIN_F5_RF_OK, true);
    g_dispatcher.bRunning = TRUE;
}

WireFixture::~WireFixture()
{
    g_dispatcher.bRunning = FALSE;
    // The send lock is the fixture's own (a stop of the multiplexer keeps
    // it), so it goes whether or not the multiplexer stopped meanwhile.
    DeleteCriticalSection(&g_dispatcher.csSend);
    if (g_dispatcher.pSendBuf == sendBuf_) {
        HeapFree(GetProcessHeap(), 0, sendBuf_);
    }
    g_dispatcher.pSendBuf = NULL;
    if (hUART != INVALID_HANDLE_VALUE) CloseHandle(hUART);
    hUART = INVALID_HANDLE_VALUE;
}

Bytes WireFixture::Written() const
{
    std::ifstream in(path_, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<Bytes> WireFixture::Frames() const
{
    const Bytes all = Written();
    std::vector<Bytes> frames;
    size_t pos = 0;
    while (pos + 4 <= all.size()) {
        size_t n = all[pos + 3] >> 1;
        size_t len = 6 + n;
        if (pos + len > all.size()) len = all.size() - pos;
        frames.emplace_back(all.begin() + pos, all.begin() + pos + len);
        pos += len;
    }
    if (pos < all.size()) frames.emplace_back(all.begin() + pos, all.end());
    return frames;
}

namespace {
DWORD WINAPI RunFunction(LPVOID arg)
{
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
    (*fn)();
    return 0;
}
}  // namespace

HANDLE RunAsync(std::function<void()> fn)
{
    auto* heapFn = new std::function<void()>(std::move(fn));
    return CreateThread(NULL, 0, RunFunction, heapFn, 0, NULL);
}

void Join(HANDLE thread)
{
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
