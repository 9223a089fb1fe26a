// A pseudo-terminal pair for tests that drive a real tty, and bounded reads
// and writes on a descriptor (real time: a fault fails a test, never hangs it).
#ifndef MUX_TESTS_PTY_PAIR_H
#define MUX_TESTS_PTY_PAIR_H

#include <cstddef>
#include <string>

class PtyPair {
public:
    // Opens the pair and closes the slave: whoever opens SlavePath() next
    // is the only one on it.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0; }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    // Hangs up whoever has the slave open.
    void CloseMaster();

private:
    int master_ = -1;
    std::string slavePath_;
};

// Reads from `fd` until `count` octets have come or `ms` have passed.
std::string ReadFor(int fd, size_t count, int ms);
// Reads what arrives on `fd` within `ms`.
inline std::string ReadAllFor(int fd, int ms) { return ReadFor(fd, size_t(-1), ms); }
// Writes all of `data`, waiting for room up to `ms` in all; false if it could not.
bool WriteAll(int fd, const std::string& data, int ms = 1000);
// Every octet value, 0 to 255, `repeat` times over.
std::string AllOctets(size_t repeat);

#endif
