// The user interface as a host provides it: MessageBoxW records the box,
// shows it to the person running the program on standard error and blocks
// until it is dismissed (by a test, or by itself after a set delay, in
// virtual time in simulation); GetForegroundWindow names a stand-in window;
// IsAPIReady reports the shell ready from a set time on.
#include "platform/host.h"
#include "platform/kernel/kernel.h"
#include "platform/platform.h"
#include "platform/ui/ui_host.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace {

using plat::ui::MessageBoxRecord;

struct Box {
    MessageBoxRecord record;
};

// Per world, under the kernel lock.
struct UiState {
    uint64_t world = 0;
    std::vector<std::shared_ptr<Box>> boxes;
};

// Process-wide settings, under the kernel lock.
uint64_t g_dismissDelayMs = plat::ui::kDefaultDismissDelayMs;
uint64_t g_shellReadyAtMs = 0;
HWND g_foreground = plat::ui::DefaultForegroundWindow();

std::mutex& SinkMutex()
{
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& Sink()
{
    static std::function<void(const std::string&)> sink;
    return sink;
}

// The state of the current world; call with the kernel lock held.
UiState& State()
{
    static UiState* s = new UiState;
    const uint64_t world = plat::WorldId();
    if (s->world != world) {
        *s = UiState();
        s->world = world;
    }
    return *s;
}

void Show(const MessageBoxRecord& box)
{
    const std::string text = plat::ui::Describe(box);
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> g(SinkMutex());
        sink = Sink();
    }
    if (sink) {
        sink(text);
    } else {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    plat::kernel::YieldPoint();
    auto box = std::make_shared<Box>();
    box->record.caption = lpCaption ? std::u16string(lpCaption) : std::u16string(u"Error");
    box->record.text = lpText ? std::u16string(lpText) : std::u16string();
    box->record.style = uType;
    box->record.owner = hWnd;
    uint64_t deadline;
    {
        plat::kernel::Lock lock(plat::kernel::Mutex());
        box->record.shownAtMs = plat::NowMs();
        deadline = g_dismissDelayMs == plat::ui::kNeverDismissed
                       ? plat::kernel::kForever
                       : box->record.shownAtMs + g_dismissDelayMs;
        State().boxes.push_back(box);
    }
    Show(box->record);

    plat::kernel::Lock lock(plat::kernel::Mutex());
    plat::kernel::WaitUntil(
        lock, [box] { return box->record.dismissed; }, deadline, "MessageBoxW");
    if (!box->record.dismissed) {
        box->record.dismissed = true;
        box->record.dismissedAtMs = plat::NowMs();
    }
    return IDOK;
}

HWND WINAPI GetForegroundWindow(void)
{
    plat::kernel::YieldPoint();
    plat::kernel::Lock lock(plat::kernel::Mutex());
    return g_foreground;
}

BOOL WINAPI IsAPIReady(DWORD hAPI)
{
    plat::kernel::YieldPoint();
    if (hAPI != SH_WMGR && hAPI != SH_SHELL) {
        return FALSE;
    }
    plat::kernel::Lock lock(plat::kernel::Mutex());
    return plat::NowMs() >= g_shellReadyAtMs ? TRUE : FALSE;
}

namespace plat::ui {

std::vector<MessageBoxRecord> MessageBoxes()
{
    kernel::Lock lock(kernel::Mutex());
    std::vector<MessageBoxRecord> out;
    for (const auto& b : State().boxes) out.push_back(b->record);
    return out;
}

size_t OpenMessageBoxCount()
{
    kernel::Lock lock(kernel::Mutex());
    size_t open = 0;
    for (const auto& b : State().boxes) open += b->record.dismissed ? 0 : 1;
    return open;
}

bool DismissMessageBox(size_t index)
{
    kernel::Lock lock(kernel::Mutex());
    UiState& s = State();
    if (index >= s.boxes.size() || s.boxes[index]->record.dismissed) return false;
    s.boxes[index]->record.dismissed = true;
    s.boxes[index]->record.dismissedAtMs = NowMs();
    kernel::Notify();
    return true;
}

void SetDismissDelayMs(uint64_t ms)
{
    kernel::Lock lock(kernel::Mutex());
    g_dismissDelayMs = ms;
}

void SetShellReadyAtMs(uint64_t ms)
{
    kernel::Lock lock(kernel::Mutex());
    g_shellReadyAtMs = ms;
}

void SetForegroundWindow(HWND window)
{
    kernel::Lock lock(kernel::Mutex());
    g_foreground = window;
}

HWND DefaultForegroundWindow()
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));
}

void SetMessageBoxSink(std::function<void(const std::string& text)> sink)
{
    std::lock_guard<std::mutex> g(SinkMutex());
    Sink() = std::move(sink);
}

std::string Describe(const MessageBoxRecord& box)
{
    char head[160];
    std::snprintf(head, sizeof head, "[message box at %llu ms, style 0x%X, owner %p] ",
                  static_cast<unsigned long long>(box.shownAtMs), box.style,
                  static_cast<void*>(box.owner));
    std::string out = head;
    out += ToUtf8(box.caption) + ": " + ToUtf8(box.text);
    if (out.empty() || out.back() != '\n') out += '\n';
    return out;
}

}  // namespace plat::ui
