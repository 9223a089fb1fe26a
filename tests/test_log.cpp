// The diagnostic log "\MuxLog.txt", the exception guards, and the kernel
// debug output.
#include "diag/log.h"
#include "platform/host.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

const char kBanner[] = "\r\n\r\n========== QX7MUX ==========\r\n";
const size_t kBannerBytes = 68;

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

size_t Count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string StampFor(const SYSTEMTIME& t)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d/%02d,%02d:%02d:%02d:", t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return buf;
}

std::string StampNow()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return StampFor(t);
}

// Puts the log back to its state at process start and points the device
// root at a fresh directory.
void ResetLog()
{
    if (g_hLogFile != INVALID_HANDLE_VALUE && g_hLogFile != NULL) CloseHandle(g_hLogFile);
    g_hLogFile = INVALID_HANDLE_VALUE;
    g_logSwitch = -1;
    g_logPath = TEXT("\\MuxLog.txt");
}

class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLog();
        dir_ = MakeTempDir("muxlogtest");
        plat::SetDeviceRoot(dir_);
        path_ = plat::HostPathFor(u"\\MuxLog.txt");
    }
    void TearDown() override { ResetLog(); }

    // Ends the "process": the file is closed as at power-off, so the next
    // line opens it again.
    static void Restart()
    {
        CloseHandle(g_hLogFile);
        g_hLogFile = INVALID_HANDLE_VALUE;
    }

    std::string Text() const { return ReadUtf16File(path_); }

    SimWorld world_{7};
    std::string dir_;
    std::string path_;
};

TEST_F(Log, NothingIsCreatedWhileTheSwitchIsNotOne)
{
    for (LONG value : {-1, 0, 2, 0x7FFFFFFF}) {
        g_logSwitch = value;
        MuxLog(TEXT("MUX: MUX_Init - switch %d ; Time=%d\r\n"), value, GetTickCount());
        EXPECT_EQ(0, ChannelExceptionGuard(0xC0000005u, TEXT("UserChannelThread")));
        EXPECT_EQ(0, DispatcherExceptionGuard(0xC0000005u, TEXT("GetDataThread")));
        EXPECT_FALSE(FileExists(path_)) << "switch " << value;
        EXPECT_EQ(INVALID_HANDLE_VALUE, g_hLogFile);
    }
    g_logSwitch = 1;
    MuxLog(TEXT("on\r\n"));
    EXPECT_TRUE(FileExists(path_));
}

TEST_F(Log, FirstLineOpensWithBannerThenStampAndMessage)
{
    g_logSwitch = 1;
    const std::string stamp = StampNow();
    MuxLog(TEXT("MUX: CChannel::SendSABM() %s sent ; Time=%d\r\n"), TEXT("MUX2:"), 4711);
    EXPECT_NE(INVALID_HANDLE_VALUE, g_hLogFile);
    EXPECT_EQ(std::string(kBanner) + stamp + "MUX: CChannel::SendSABM() MUX2: sent ; Time=4711\r\n",
              Text());
    // The simulated clock starts on 12 July, 14:03:59.
    EXPECT_EQ("07/12,14:03:59:", stamp);
}

TEST_F(Log, TimeStampIsMonthDayHourMinuteSecond)
{
    g_logSwitch = 1;
    MuxLog(TEXT("a\r\n"));
    // 1 h 2 min 3.5 s later: every field changes differently.
    Sleep(3723500);
    SYSTEMTIME t;
    GetLocalTime(&t);
    MuxLog(TEXT("b\r\n"));
    const std::string text = Text();
    EXPECT_NE(std::string::npos, text.find(StampFor(t) + "b\r\n")) << text;
    EXPECT_EQ("07/12,15:06:02:", StampFor(t));
    // No year, no milliseconds, no space after the stamp.
    const std::regex line("[0-9]{2}/[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}:[ab]\r\n");
    const std::string body = text.substr(sizeof(kBanner) - 1);
    EXPECT_EQ(2, std::distance(std::sregex_iterator(body.begin(), body.end(), line),
                               std::sregex_iterator()));
}

TEST_F(Log, BannerOncePerOpenAndExistingContentKept)
{
    // A file from an earlier boot.
    const std::string old("o\0l\0d\0\r\0\n\0", 10);
    {
        std::ofstream(path_, std::ios::binary) << old;
    }
    g_logSwitch = 1;
    MuxLog(TEXT("one\r\n"));
    MuxLog(TEXT("two\r\n"));
    MuxLog(TEXT("three\r\n"));
    std::string bytes = ReadBytes(path_);
    ASSERT_GE(bytes.size(), old.size());
    EXPECT_EQ(old, bytes.substr(0, old.size()));
    EXPECT_EQ(1u, Count(Text(), kBanner));

    Restart();
    MuxLog(TEXT("four\r\n"));
    const std::string text = Text();
    EXPECT_EQ(2u, Count(text, kBanner));
    EXPECT_EQ(0u, text.find("old\r\n"));
    const size_t second = text.rfind(kBanner);
    EXPECT_LT(text.find("three\r\n"), second);
    EXPECT_LT(second, text.find("four\r\n"));
}

TEST_F(Log, Utf16LittleEndianWithoutByteOrderMark)
{
    g_logSwitch = 1;
    MuxLog(TEXT("%s|%c\r\n"), TEXT("\u00e9"), 0x4E2D);
    const std::string bytes = ReadBytes(path_);
    ASSERT_GE(bytes.size(), kBannerBytes);
    EXPECT_EQ(std::string("\r\0\n\0", 4), bytes.substr(0, 4));  // no BOM in front
    EXPECT_EQ(0u, bytes.size() % 2);
    const std::string tail("\xE9\0|\0\x2D\x4E\r\0\n\0", 10);
    EXPECT_EQ(tail, bytes.substr(bytes.size() - tail.size()));
    EXPECT_EQ(kBannerBytes + 15 * 2 + tail.size(), bytes.size());
}

TEST_F(Log, MessageWithoutLineEndRunsIntoNextStamp)
{
    g_logSwitch = 1;
    const std::string stamp = StampNow();
    MuxLog(TEXT("RILDebug: %S"), "+CME ERROR");
    MuxLog(TEXT("MUX: next ; Time=%d\r\n"), 5);
    EXPECT_EQ(std::string(kBanner) + stamp + "RILDebug: +CME ERROR" + stamp + "MUX: next ; Time=5\r\n",
              Text());
}

TEST_F(Log, OverlongMessageIsCutInsideTheBuffer)
{
    g_logSwitch = 1;
    const std::u16string big(3000, u'x');
    MuxLog(TEXT("%s\r\n"), big.c_str());
    MuxLog(TEXT("after\r\n"));
    const std::string text = Text();
    const std::string stamp = StampNow();
    // 1,199 units of the message are kept; its tail (with the line end) is
    // lost and the next line follows directly.
    EXPECT_EQ(std::string(kBanner) + stamp + std::string(1199, 'x') + stamp + "after\r\n", text);

    // A surrogate pair that would straddle the end goes as a whole.
    Restart();
    std::ofstream(path_, std::ios::binary | std::ios::trunc);
    const std::u16string lead(1198, u'y');
    MuxLog(TEXT("%s%s"), lead.c_str(), TEXT("\U0001F600"));
    const std::string bytes = ReadBytes(path_);
    EXPECT_EQ(kBannerBytes + 15 * 2 + 1198 * 2, bytes.size());
}

TEST_F(Log, FailedOpenDropsTheLineAndTheNextTriesAgain)
{
    g_logSwitch = 1;
    const std::string missing = dir_ + "/not-yet";
    plat::SetDeviceRoot(missing);
    MuxLog(TEXT("lost\r\n"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_hLogFile);
    ASSERT_EQ(0, mkdir(missing.c_str(), 0700));
    MuxLog(TEXT("kept\r\n"));
    EXPECT_NE(INVALID_HANDLE_VALUE, g_hLogFile);
    const std::string text = ReadUtf16File(plat::HostPathFor(u"\\MuxLog.txt"));
    EXPECT_EQ(std::string(kBanner) + StampNow() + "kept\r\n", text);
}

// The device root may be a directory others can write: a symlink planted
// under the log's name must not carry the log into the file it points to,
// and the log itself is the owner's alone.
TEST_F(Log, PlantedSymlinkIsNotFollowedAndANewLogIsPrivate)
{
    g_logSwitch = 1;
    const std::string victim = dir_ + "/victim";
    {
        std::ofstream(victim, std::ios::binary) << "precious";
    }
    ASSERT_EQ(0, symlink(victim.c_str(), path_.c_str()));
    MuxLog(TEXT("MUX: planted ; Time=%d\r\n"), 1);
    MuxLog(TEXT("MUX: again ; Time=%d\r\n"), 2);
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_hLogFile);
    EXPECT_EQ("precious", ReadBytes(victim));
    struct stat st;
    ASSERT_EQ(0, lstat(path_.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A dangling link would have made the file wherever it points.
    ASSERT_EQ(0, unlink(path_.c_str()));
    const std::string elsewhere = dir_ + "/elsewhere";
    ASSERT_EQ(0, symlink(elsewhere.c_str(), path_.c_str()));
    MuxLog(TEXT("MUX: dangling ; Time=%d\r\n"), 3);
    EXPECT_FALSE(FileExists(elsewhere));

    ASSERT_EQ(0, unlink(path_.c_str()));
    const mode_t old = umask(0);
    MuxLog(TEXT("MUX: real ; Time=%d\r\n"), 4);
    umask(old);
    ASSERT_EQ(0, lstat(path_.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777u);
    EXPECT_EQ(std::string(kBanner) + StampNow() + "MUX: real ; Time=4\r\n", Text());
}

TEST_F(Log, GuardsWriteTheirLineAndReturnZero)
{
    g_logSwitch = 1;
    const DWORD t = GetTickCount();
    EXPECT_EQ(0, ChannelExceptionGuard(0xC0000005u, TEXT("UserChannelThread")));
    EXPECT_EQ(0, DispatcherExceptionGuard(0xC0000094u, TEXT("ParseDataThread")));
    const std::string stamp = StampNow();
    EXPECT_EQ(std::string(kBanner) + stamp + "MUX: Channel EXCEPTION -> 0xc0000005 in UserChannelThread ; Time=" +
                  std::to_string(t) + "\r\n" + stamp +
                  "MUX: Dispatcher EXCEPTION -> 0xc0000094 in ParseDataThread ; Time=" +
                  std::to_string(t) + "\r\n",
              Text());
}

DWORD WINAPI ReturnsItsArgument(LPVOID arg)
{
    EXPECT_EQ("TimeOutThread", plat::CurrentThreadName());
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg));
}

TEST_F(Log, RunGuardedNamesTheThreadAndReturnsTheBodysResult)
{
    g_logSwitch = 1;
    EXPECT_EQ(42u, RunGuarded(DispatcherExceptionGuard, TEXT("TimeOutThread"), ReturnsItsArgument,
                              reinterpret_cast<LPVOID>(42)));
    EXPECT_FALSE(FileExists(path_)) << "a body that ends normally logs nothing";
}

struct RaceArgs {
    int index;
};

DWORD WINAPI LogOneLine(LPVOID arg)
{
    const int index = static_cast<RaceArgs*>(arg)->index;
    MuxLog(TEXT("MUX: line %d ; Time=%d\r\n"), index, GetTickCount());
    return 0;
}

// Several threads write their first lines at the same moment: the file is
// opened once, with one banner, and no line is lost.
TEST(LogRace, ThreadsFindingTheLogClosedOpenItOnce)
{
    for (uint64_t seed = 1; seed <= 25; ++seed) {
        SimWorld world(seed);
        ResetLog();
        const std::string dir = MakeTempDir("muxlograce");
        plat::SetDeviceRoot(dir);
        g_logSwitch = 1;
        RaceArgs args[4];
        HANDLE threads[4];
        for (int i = 0; i < 4; ++i) {
            args[i].index = i;
            threads[i] = CreateThread(nullptr, 0, LogOneLine, &args[i], 0, nullptr);
            ASSERT_NE(nullptr, threads[i]);
        }
        for (HANDLE h : threads) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE));
            CloseHandle(h);
        }
        const std::string text = ReadUtf16File(plat::HostPathFor(u"\\MuxLog.txt"));
        EXPECT_EQ(0u, text.find(kBanner)) << "seed " << seed;
        EXPECT_EQ(1u, Count(text, kBanner)) << "seed " << seed;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(1u, Count(text, "MUX: line " + std::to_string(i) + " ;")) << "seed " << seed;
        }
        ResetLog();
    }
}

// --- the guards with real faults --------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own handler takes the fault after the guard has written
// its line, and ends the process in its own way.
#define EXPECT_GUARDED_DEATH(statement, sig) EXPECT_DEATH(statement, "")
#else
#define EXPECT_GUARDED_DEATH(statement, sig) EXPECT_EXIT(statement, ::testing::KilledBySignal(sig), "")
#endif

// The sanitizers would stop these bodies before the hardware does.
#define NO_SANITIZE __attribute__((no_sanitize("undefined", "address"), noinline))

int* volatile g_nullPointer = nullptr;
volatile int g_zero = 0;

NO_SANITIZE DWORD WINAPI DereferencesNull(LPVOID)
{
    *g_nullPointer = 1;
    return 0;
}

NO_SANITIZE DWORD WINAPI DividesByZero(LPVOID)
{
    return static_cast<DWORD>(100 / g_zero);
}

volatile int g_depthLimit = 1 << 30;  // never reached: the stack ends first

NO_SANITIZE int Recurse(int depth)
{
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth >= g_depthLimit) return 0;
    return Recurse(depth + 1) + pad[0];
}

NO_SANITIZE DWORD WINAPI OverflowsItsStack(LPVOID)
{
    return static_cast<DWORD>(Recurse(0));
}

DWORD WINAPI EndsNormally(LPVOID) { return 7; }

struct GuardedRun {
    ExceptionGuard guard;
    LPCWSTR name;
    LPTHREAD_START_ROUTINE body;
};

DWORD WINAPI GuardedThread(LPVOID arg)
{
    const GuardedRun* run = static_cast<const GuardedRun*>(arg);
    return RunGuarded(run->guard, run->name, run->body, nullptr);
}

// Runs `body` on a new platform thread, under the guard when one is given,
// and waits for it.
void RunOnThread(ExceptionGuard guard, LPCWSTR name, LPTHREAD_START_ROUTINE body)
{
    GuardedRun run = {guard, name, body};
    HANDLE h = guard ? CreateThread(nullptr, 0, GuardedThread, &run, 0, nullptr)
                     : CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}

class LogGuardDeathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "fast");  // the child shares our device root
        ResetLog();
        dir_ = MakeTempDir("muxlogdeath");
        plat::SetDeviceRoot(dir_);
    }
    void TearDown() override { ResetLog(); }
    std::string Text() const { return ReadUtf16File(plat::HostPathFor(u"\\MuxLog.txt")); }
    std::string dir_;
};

TEST_F(LogGuardDeathTest, AccessViolationIsRecordedAndTheThreadStillDies)
{
    EXPECT_GUARDED_DEATH(
        {
            g_logSwitch = 1;
            RunOnThread(DispatcherExceptionGuard, TEXT("GetDataThread"), DereferencesNull);
            std::_Exit(0);  // not reached: the fault takes the process down
        },
        SIGSEGV);
    const std::string text = Text();
    const std::regex line("MUX: Dispatcher EXCEPTION -> 0xc0000005 in GetDataThread ; Time=[0-9]+\r\n");
    EXPECT_TRUE(std::regex_search(text, line)) << text;
    EXPECT_EQ(1u, Count(text, "EXCEPTION"));
}

TEST_F(LogGuardDeathTest, ChannelGuardRecordsIntegerDivideByZero)
{
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_GUARDED_DEATH(
        {
            g_logSwitch = 1;
            RunOnThread(ChannelExceptionGuard, TEXT("UserChannelThread"), DividesByZero);
            std::_Exit(0);
        },
        SIGFPE);
    const std::string text = Text();
    EXPECT_NE(std::string::npos,
              text.find("MUX: Channel EXCEPTION -> 0xc0000094 in UserChannelThread ; Time="))
        << text;
#else
    GTEST_SKIP() << "integer division by zero does not trap on this processor";
#endif
}

TEST_F(LogGuardDeathTest, StackOverflowIsRecorded)
{
    EXPECT_GUARDED_DEATH(
        {
            g_logSwitch = 1;
            RunOnThread(DispatcherExceptionGuard, TEXT("ParseDataThread"), OverflowsItsStack);
            std::_Exit(0);
        },
        SIGSEGV);
    const std::string text = Text();
    EXPECT_NE(std::string::npos,
              text.find("MUX: Dispatcher EXCEPTION -> 0xc00000fd in ParseDataThread ; Time="))
        << text;
}

TEST_F(LogGuardDeathTest, UnguardedThreadKeepsTheDefaultBehaviour)
{
    EXPECT_GUARDED_DEATH(
        {
            g_logSwitch = 1;
            // A guarded thread first, so that the handlers are in place.
            RunOnThread(DispatcherExceptionGuard, TEXT("SetDTRThread"), EndsNormally);
            RunOnThread(nullptr, nullptr, DereferencesNull);
            std::_Exit(0);
        },
        SIGSEGV);
    EXPECT_EQ(std::string::npos, Text().find("EXCEPTION"));
}

// --- kernel debug output ----------------------------------------------------------------

TEST(KernelDebugOutput, GoesToTheSinkFormatted)
{
    std::vector<std::u16string> got;
    plat::SetDebugSink([&got](const std::u16string& text) { got.push_back(text); });
    NKDbgPrintfW(TEXT("MUX_version: %x\r\n"), 0x10203u);
    NKDbgPrintfW(TEXT("%s=%d"), TEXT("RF_OK"), 0);
    const std::u16string big(5000, u'z');
    NKDbgPrintfW(TEXT("%s"), big.c_str());
    plat::SetDebugSink(nullptr);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(u"MUX_version: 10203\r\n", got[0]);
    EXPECT_EQ(u"RF_OK=0", got[1]);
    EXPECT_GT(got[2].size(), 1000u);  // long text is cut, not lost entirely
    EXPECT_LT(got[2].size(), big.size());
    EXPECT_EQ(std::u16string(got[2].size(), u'z'), got[2]);
}

TEST(KernelDebugOutput, DefaultSinkIsStderrAsUtf8)
{
    plat::SetDebugSink(nullptr);
    ::testing::internal::CaptureStderr();
    NKDbgPrintfW(TEXT("MUX: crash watcher %s\r\n"), TEXT("\u00e9"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("MUX: crash watcher \xC3\xA9\r\n", err);
}

}  // namespace
