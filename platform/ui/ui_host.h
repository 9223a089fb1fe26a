// Host-side control of the user interface stand-in (ui.cpp): the message
// boxes shown so far, their dismissal, the owner window and the time at which
// the shell reports itself ready. C++17; never included by the driver.
//
// A message box is recorded, written to a sink (standard error by default)
// for the person running the program, and blocks its caller until it is
// dismissed: by a test, or by itself after the dismissal delay (virtual time
// in simulation). Records are kept per simulated world; the settings are
// process-wide and stay until changed.
#ifndef MUX_PLATFORM_UI_HOST_H
#define MUX_PLATFORM_UI_HOST_H

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat::ui {

constexpr uint64_t kNeverDismissed = UINT64_MAX;

struct MessageBoxRecord {
    std::u16string caption;
    std::u16string text;
    UINT style = 0;
    HWND owner = nullptr;
    uint64_t shownAtMs = 0;      // NowMs() when MessageBoxW was called
    bool dismissed = false;
    uint64_t dismissedAtMs = 0;  // NowMs() when it was dismissed
};

// The boxes of the current world, in the order they were shown.
std::vector<MessageBoxRecord> MessageBoxes();
// Boxes of the current world not yet dismissed.
size_t OpenMessageBoxCount();
// Dismisses box `index` (as the user pressing OK); false when there is no
// such box or it was dismissed already.
bool DismissMessageBox(size_t index);

// A box dismisses itself this long after it was shown, as a user who reads
// it and presses OK (default kDefaultDismissDelayMs); kNeverDismissed leaves
// it to DismissMessageBox.
constexpr uint64_t kDefaultDismissDelayMs = 2000;
void SetDismissDelayMs(uint64_t ms);
// IsAPIReady reports the shell ready from this platform time on (default 0).
void SetShellReadyAtMs(uint64_t ms);
// What GetForegroundWindow reports (default: a non-null stand-in handle).
void SetForegroundWindow(HWND window);
HWND DefaultForegroundWindow();

// Where a shown box is written, as UTF-8 text. Default: standard error.
void SetMessageBoxSink(std::function<void(const std::string& text)> sink);
// The text a box is written as, e.g. for a sink that prints it elsewhere.
std::string Describe(const MessageBoxRecord& box);

}  // namespace plat::ui

#endif
