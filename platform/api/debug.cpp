// Kernel debug output: NKDbgPrintfW hands each formatted text to the sink
// the host chose; by default it goes to stderr as UTF-8.
#include "platform/host.h"
#include "platform/own_calls.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

// Longer texts are cut; the debug output of the kernel has a similar limit.
constexpr size_t kDebugBufferUnits = 2048;

std::mutex& SinkMutex()
{
    static std::mutex m;
    return m;
}

std::function<void(const std::u16string&)>& Sink()
{
    static std::function<void(const std::u16string&)> sink;
    return sink;
}

void WriteToStderr(const std::u16string& text)
{
    const std::string utf8 = plat::ToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void NKDbgPrintfW(LPCWSTR lpszFmt, ...)
{
    WCHAR buf[kDebugBufferUnits];
    va_list ap;
    va_start(ap, lpszFmt);
    const int n = PlatformFormatW(buf, kDebugBufferUnits, lpszFmt, ap);
    va_end(ap);
    const std::u16string text(buf, static_cast<size_t>(n));

    // The sink is called outside the lock, so that it may itself print or
    // replace the sink; a copy keeps it alive meanwhile.
    std::function<void(const std::u16string&)> sink;
    {
        std::lock_guard<std::mutex> guard(SinkMutex());
        sink = Sink();
    }
    if (sink) {
        sink(text);
    } else {
        WriteToStderr(text);
    }
}

namespace plat {

void SetDebugSink(std::function<void(const std::u16string& text)> sink)
{
    std::lock_guard<std::mutex> guard(SinkMutex());
    Sink() = std::move(sink);  // an empty function restores stderr
}

}  // namespace plat
