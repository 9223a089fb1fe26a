// The two loops whose cost per frame bench_frame_cost reports: the receive
// parser over full receive nodes of maximum-size UIH frames, and the
// transmit path sending maximum-size UIH frames, each with the driver set up
// the way a running multiplexer leaves it for one channel. Also the baseline
// the receive figure is judged against: the two copies of the payload the
// parser cannot avoid (node to frame buffer, frame buffer to channel buffer).
#ifndef MUX_BENCH_FRAME_LOOPS_H
#define MUX_BENCH_FRAME_LOOPS_H

#include "channel/channel.h"
#include "dispatcher/dispatcher.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

constexpr int kFrames = 4000;
constexpr size_t kUihFrameOctets = 4 + MUX_MAX_INFO + 2;  // 133

// A bare channel on DLCI 1 as Init leaves it (buffer, lock, wake event,
// registered in the dispatcher's table), without a thread of its own.
class BareChannel {
public:
    explicit BareChannel(LONG rxSize);
    ~BareChannel();
    CChannel& Get() { return channel_; }

private:
    CChannel channel_;
};

// kFrames maximum-size UIH frames for DLCI 1, cut into full receive nodes.
class ReceiveLoop {
public:
    ReceiveLoop();
    ~ReceiveLoop();
    // Parses every node once; after each node the reader takes everything.
    // `before` and `after` bracket each parse only, so that a caller can
    // measure the parser alone. Returns the payload octets delivered.
    size_t Run(void (*before)(), void (*after)());
    // The two plain copies per frame over the same octets, bracketed as a
    // whole by `before` and `after`.
    void RunBaseline(void (*before)(), void (*after)());
    size_t PayloadPerRun() const { return static_cast<size_t>(kFrames) * MUX_MAX_INFO; }

private:
    std::vector<uint8_t> octets_;
    std::vector<FFUARTDATA> nodes_;
    std::vector<uint8_t> frameCopy_, channelCopy_;
    BareChannel channel_;
};

// SendUIH of kFrames maximum-size pieces through CDispatcher::Send to a host
// file standing in for the port, the module awake.
class TransmitLoop {
public:
    TransmitLoop();
    ~TransmitLoop();
    // Returns the octets SendUIH reported sent; `before` and `after` bracket
    // the sending.
    size_t Run(void (*before)(), void (*after)());

private:
    std::vector<uint8_t> data_;
    BYTE sendBuf_[MUX_SEND_BUF_SIZE];
    BareChannel channel_;
};

}  // namespace bench

#endif
