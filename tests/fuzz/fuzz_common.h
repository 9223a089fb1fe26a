// What every fuzz target shares: the diagnostic log, written as on the
// phone but into /dev/null, and the check that turns a broken invariant
// into a finding.
#ifndef MUX_TESTS_FUZZ_COMMON_H
#define MUX_TESTS_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>

// Once per process: log switched on, "\MuxLog.txt" a link to /dev/null.
void FuzzLogOn();
// Between inputs: the log file closed, to be opened again by the next.
void FuzzLogReset();

// A broken invariant: prints what and aborts, which libFuzzer reports as a
// crash with the input that caused it.
void FuzzCheck(bool ok, const char* what);

// The input as a sequence of pieces, each a length octet and up to that many
// octets (fewer at the end of the input).
class PieceReader {
public:
    PieceReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool More() const { return p_ < end_; }
    uint8_t Octet() { return p_ < end_ ? *p_++ : 0; }
    // The next piece; `len` is its length.
    const uint8_t* Piece(size_t* len) { return Take(Octet(), len); }
    // Up to `want` octets (fewer at the end); `len` is how many.
    const uint8_t* Take(size_t want, size_t* len);

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

#endif
