// The diagnostic log "\MuxLog.txt": UTF-16LE text without a byte-order mark,
// appended to and never truncated. Off unless the registry switch is 1.
//
// Each line is two writes, the time stamp and the message, followed by a
// flush so that it survives a crash or cold boot that follows. The writer
// takes no lock of its own: lines that threads write at the same moment may
// interleave at the boundary between time stamp and message.
#include "diag/log.h"
#include "platform/own_calls.h"

#include <stdarg.h>
#include <stddef.h>

LONG g_logSwitch = -1;
HANDLE g_hLogFile = INVALID_HANDLE_VALUE;
LPCWSTR g_logPath = TEXT("\\MuxLog.txt");

namespace {

// The message buffer. A message that does not fit is cut after 1,199 units
// (never inside a surrogate pair) and written without the rest: whatever
// line end it would have carried is lost with its tail, so the next line's
// time stamp follows directly.
#define LOG_MESSAGE_UNITS 1200

// 1 while one thread is opening the log. The thread that finds the handle
// invalid and moves this from 0 to 1 is the only one that opens the file;
// any other thread arriving meanwhile waits for it, so the file is never
// opened twice and nobody writes before the banner.
LONG volatile s_logOpening = 0;

void WriteUnits(HANDLE h, const WCHAR* text, int units)
{
    if (units <= 0) return;
    DWORD written = 0;
    WriteFile(h, text, (DWORD)units * (DWORD)sizeof(WCHAR), &written, NULL);  // a failure is ignored
}

// Opens the file, moves to its end and writes the banner; the handle becomes
// visible to other threads only after that.
void OpenLog()
{
    HANDLE h = CreateFileW(g_logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE || h == NULL) return;
    SetFilePointer(h, 0, NULL, FILE_END);
    static const WCHAR kBanner[] = TEXT("\r\n\r\n========== QX7MUX ==========\r\n");
    WriteUnits(h, kBanner, (int)(sizeof(kBanner) / sizeof(kBanner[0])) - 1);
    g_hLogFile = h;
}

// True when the log is open (opening it first if needed).
bool EnsureOpen()
{
    while (g_hLogFile == INVALID_HANDLE_VALUE) {
        if (InterlockedCompareExchange(&s_logOpening, 1, 0) == 0) {
            // Someone may have finished opening between our test and here.
            if (g_hLogFile == INVALID_HANDLE_VALUE) OpenLog();
            InterlockedExchange(&s_logOpening, 0);
            // When the open failed, the line is dropped; the next one tries again.
            return g_hLogFile != INVALID_HANDLE_VALUE;
        }
        // Another thread is opening: the open does not block for long; give
        // that thread the processor (whatever its priority) and look again.
        Sleep(1);
    }
    return true;
}

}  // namespace

void MuxLog(LPCWSTR format, ...)
{
    if (g_logSwitch != 1) return;
    if (!EnsureOpen()) return;
    HANDLE h = g_hLogFile;

    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR stamp[40];
    int units = wsprintfW(stamp, TEXT("%02d/%02d,%02d:%02d:%02d:"), now.wMonth, now.wDay,
                          now.wHour, now.wMinute, now.wSecond);
    WriteUnits(h, stamp, units);

    WCHAR message[LOG_MESSAGE_UNITS];
    va_list args;
    va_start(args, format);
    units = PlatformFormatW(message, (size_t)LOG_MESSAGE_UNITS, format, args);
    va_end(args);
    WriteUnits(h, message, units);

    FlushFileBuffers(h);
}
