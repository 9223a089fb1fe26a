// The exception guard of the worker threads as mingw-w64 builds it, on the
// Win32 API (run under Wine by scripts/wine-leg). The program starts itself
// as a child in which a guarded worker thread ("GetDataThread", under the
// dispatcher's guard) writes through a null pointer; the child must end with
// the access violation, as if no guard were there, and its log must hold the
// guard's line. Status 0 when both hold.
#include "diag/log.h"
#include "platform/own_calls.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const wchar_t kLogName[] = L"guard_test.log";
const DWORD kAccessViolation = 0xC0000005u;

DWORD WINAPI Returns7(LPVOID)
{
    return 7;
}

DWORD WINAPI Faults(LPVOID)
{
    *(volatile int*)(ULONG_PTR)0 = 1;
    return 0;
}

LONG WINAPI EndQuietly(PEXCEPTION_POINTERS)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI GuardedWorker(LPVOID)
{
    return RunGuarded(DispatcherExceptionGuard, L"GetDataThread", Faults, NULL);
}

int Child()
{
    // The process's filter before the guard's: the guard hands the fault on
    // to it, and it ends the process with the fault's code straight away,
    // without a crash dialog or Wine's debugger.
    SetUnhandledExceptionFilter(EndQuietly);
    g_logSwitch = 1;
    g_logPath = kLogName;
    // A body that does not fault: its result passes through, nothing is logged.
    if (RunGuarded(ChannelExceptionGuard, L"UserChannelThread", Returns7, NULL) != 7) return 10;
    HANDLE thread = CreateThread(NULL, 0, GuardedWorker, NULL, 0, NULL);
    if (thread == NULL) return 11;
    WaitForSingleObject(thread, INFINITE);
    return 12;  // not reached: the fault ends the process
}

std::string LogText()
{
    HANDLE file = CreateFileW(kLogName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    wchar_t buffer[512];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, NULL) && n > 0) {
        for (DWORD i = 0; i < n / 2; ++i) text += buffer[i] < 0x80 ? (char)buffer[i] : '?';
    }
    CloseHandle(file);
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wstring(argv[1]) == L"child") return Child();
    DeleteFileW(kLogName);
    std::wstring command = std::wstring(L"\"") + argv[0] + L"\" child";
    STARTUPINFOW si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        std::printf("FAIL the child did not start (error %lu)\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    const std::string log = LogText();
    const std::string expected = "MUX: Dispatcher EXCEPTION -> 0xc0000005 in GetDataThread ; Time=";
    const bool ended = code == kAccessViolation;
    const bool logged = log.find(expected) != std::string::npos;
    const bool once = logged && log.find(expected, log.find(expected) + 1) == std::string::npos;
    const bool quiet = log.find("UserChannelThread") == std::string::npos;
    std::printf("%s the child ended with 0x%08lX (the access violation, as without a guard)\n",
                ended ? "ok  " : "FAIL", code);
    std::printf("%s the guard wrote \"%s...\" once\n", logged && once ? "ok  " : "FAIL",
                expected.c_str());
    std::printf("%s a guarded body that does not fault passes its result and logs nothing\n",
                quiet ? "ok  " : "FAIL");
    if (!(ended && logged && once && quiet)) std::printf("log:\n%s\n", log.c_str());
    return ended && logged && once && quiet ? 0 : 1;
}
