// Frames as they go over the line, written out once: flag, address (C/R set
// as the host sends commands), control, length, FCS, flag.
#ifndef MUX_TESTS_GOLDEN_FRAMES_H
#define MUX_TESTS_GOLDEN_FRAMES_H

#include <cstdint>
#include <vector>

namespace golden {

using Frame = std::vector<uint8_t>;

inline const Frame kSabmDlci0 = {0xF9, 0x03, 0x3F, 0x01, 0x1C, 0xF9};
inline const Frame kSabmDlci1 = {0xF9, 0x07, 0x3F, 0x01, 0xDE, 0xF9};
inline const Frame kDiscDlci1 = {0xF9, 0x07, 0x53, 0x01, 0x3F, 0xF9};
// UA on DLCI 0 as the module answers (C/R clear).
inline const Frame kUaDlci0 = {0xF9, 0x01, 0x73, 0x01, 0xB6, 0xF9};
// UIH on DLCI 1 carrying "AB".
inline const Frame kUihDlci1AB = {0xF9, 0x07, 0xEF, 0x05, 0x41, 0x42, 0x30, 0xF9};

}  // namespace golden

#endif
