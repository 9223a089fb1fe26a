// gsmmuxd: its options, the pseudo-terminals and their links, the bridge
// between a port and a pseudo-terminal (on a real tty under "COM8:", the far
// end played by the test), and the program's answers to bad input.
#include "dispatcher_rig.h"
#include "host/gsmmuxd/bridge.h"
#include "host/gsmmuxd/dir_lock.h"
#include "host/gsmmuxd/instances.h"
#include "host/muxhost/muxhost.h"
#include "host/gsmmuxd/options.h"
#include "host/gsmmuxd/pty_link.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "platform/tty/serial_tty.h"
#include "pty_pair.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using gsmmuxd::Lines;
using gsmmuxd::Options;
using gsmmuxd::Parsed;

namespace {

// ---- options ----

Parsed Parse(std::vector<std::string> args, Options* o, std::string* error)
{
    args.insert(args.begin(), "gsmmuxd");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return gsmmuxd::ParseOptions(int(argv.size()), argv.data(), o, error);
}

TEST(GsmmuxdOptions, AcceptsBothGnuFormsAndDefaultsToTheSimulatedModule)
{
    Options o;
    std::string error;
    ASSERT_EQ(Parse({}, &o, &error), Parsed::Run) << error;
    EXPECT_TRUE(o.portTty.empty());
    EXPECT_EQ(o.lines, Lines::Sim);
    EXPECT_EQ(o.linkDir, gsmmuxd::DefaultLinkDir());
    EXPECT_FALSE(o.log);
    EXPECT_FALSE(o.trace || o.status || !o.pcap.empty() || !o.regFile.empty() || !o.root.empty());
    EXPECT_EQ(o.keepAliveS, 5);
    EXPECT_FALSE(o.waitForTty);

    ASSERT_EQ(Parse({"--reg", "a.reg", "--port=COM9:=/dev/ttyUSB0", "--lines=none", "--link-dir",
                     "/run/mux", "--trace", "--pcap=cap.pcap", "--status", "--root=/var/lib/mux", "--log"},
                    &o, &error),
              Parsed::Run)
        << error;
    EXPECT_EQ(o.regFile, "a.reg");
    EXPECT_EQ(o.portDevice, "COM9:");
    EXPECT_EQ(o.portTty, "/dev/ttyUSB0");
    EXPECT_EQ(o.lines, Lines::None);
    EXPECT_EQ(o.linkDir, "/run/mux");
    EXPECT_TRUE(o.trace && o.status);
    EXPECT_EQ(o.pcap, "cap.pcap");
    EXPECT_EQ(o.root, "/var/lib/mux");
    EXPECT_TRUE(o.log);

    // A second parse starts afresh; "--" ends the options.
    ASSERT_EQ(Parse({"--pcap", "-", "--"}, &o, &error), Parsed::Run) << error;
    EXPECT_EQ(o.pcap, "-");
    EXPECT_FALSE(o.trace);
    EXPECT_EQ(Parse({"--", "--trace"}, &o, &error), Parsed::Error);
    EXPECT_EQ(error, "unexpected argument '--trace' (try --help)");

    ASSERT_EQ(Parse({"--keepalive=0", "--wait-for-tty"}, &o, &error), Parsed::Run) << error;
    EXPECT_EQ(o.keepAliveS, 0);
    EXPECT_TRUE(o.waitForTty);

    EXPECT_EQ(Parse({"--trace", "--help"}, &o, &error), Parsed::Help);
    EXPECT_EQ(Parse({"-V"}, &o, &error), Parsed::Version);
}

TEST(GsmmuxdOptions, RefusesBadInputInOneLine)
{
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus' (try --help)"},
        {{"--lines", "maybe"}, "--lines wants none or sim, got \"maybe\""},
        {{"--port"}, "option '--port' needs a value"},
        {{"--port", "/dev/ttyUSB0"}, "--port wants DEVICE:=TTY, e.g. COM9:=/dev/ttyUSB0, got \"/dev/ttyUSB0\""},
        {{"--port", "COM9=/dev/ttyUSB0"}, "--port wants DEVICE:=TTY, e.g. COM9:=/dev/ttyUSB0, got \"COM9=/dev/ttyUSB0\""},
        {{"--port", "COM9:="}, "--port wants DEVICE:=TTY, e.g. COM9:=/dev/ttyUSB0, got \"COM9:=\""},
        {{"--link-dir="}, "--link-dir wants a directory"},
        {{"--root="}, "--root wants a directory"},
        {{"--pcap="}, "--pcap wants a file name or -"},
        {{"--reg="}, "--reg wants a file name"},
        {{"--pcap", "-", "--status"}, "--pcap - needs standard output to itself; drop --trace and --status"},
        {{"stray"}, "unexpected argument 'stray' (try --help)"},
        {{"--keepalive", "5s"}, "--keepalive wants seconds from 0 to 3600, got \"5s\""},
        {{"--keepalive=-1"}, "--keepalive wants seconds from 0 to 3600, got \"-1\""},
        {{"--keepalive="}, "--keepalive wants seconds from 0 to 3600, got \"\""},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(Parse(c.args, &o, &error), Parsed::Error) << c.args[0];
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

// ---- the configuration and the driver's instances ----

class GsmmuxdConfiguration : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::ClearRegistry();
        dir_ = MakeTempDir("gsmmuxd-config");
    }
    void TearDown() override
    {
        plat::ClearRegistry();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string dir_;
};

TEST_F(GsmmuxdConfiguration, BadOrMissingFileIsRefusedWithFileAndLineAndLoadsNothing)
{
    const std::string bad = dir_ + "/bad.reg";
    std::ofstream(bad) << "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n"
                          "    \"Prefix\"=\"MUX\"\n"
                          "    \"Index\"=qword:1\n";
    std::string error;
    EXPECT_FALSE(gsmmuxd::LoadConfiguration(bad, &error));
    EXPECT_EQ(error, bad + ":3: unknown value type 'qword:'");
    EXPECT_TRUE(plat::RegistrySubkeys(u"Drivers\\BuiltIn").empty())
        << "nothing of a bad file reaches the registry";

    const std::string missing = dir_ + "/none.reg";
    EXPECT_FALSE(gsmmuxd::LoadConfiguration(missing, &error));
    EXPECT_EQ(error, missing + ": cannot be opened");
}

TEST_F(GsmmuxdConfiguration, DefaultFileIsTheProjectsAndActivatesMux1ToMux3)
{
    const std::string path = muxhost::DefaultConfigurationPath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(fs::equivalent(path, fs::path(MUX_SOURCE_DIR) / "config" / "mux.reg")) << path;

    // The driver's Init only reads its configuration: activation and
    // deactivation run in virtual time, against the simulated module.
    DispatcherRig rig(3);
    plat::ClearRegistry();
    std::string error;
    ASSERT_TRUE(gsmmuxd::LoadConfiguration("", &error)) << error;
    std::vector<gsmmuxd::Instance> instances;
    ASSERT_TRUE(gsmmuxd::ActivateInstances(&instances, &error)) << error;
    std::vector<std::string> names;
    for (const gsmmuxd::Instance& i : instances) {
        names.push_back(i.name);
        EXPECT_NE(i.device, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"MUX1:", "MUX2:", "MUX3:"}));
    EXPECT_EQ(plat::RegistrySubkeys(u"Drivers\\Active").size(), 3u);

    // The names reach the driver: opening the command port brings the
    // multiplexer up and its DLCI with it.
    HANDLE port = CreateFileW(u"MUX1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(rig.Modem().DlciOpen(1));
    CloseHandle(port);

    gsmmuxd::DeactivateInstances(&instances);
    EXPECT_TRUE(instances.empty());
    EXPECT_TRUE(plat::RegistrySubkeys(u"Drivers\\Active").empty());
    EXPECT_EQ(CreateFileW(u"MUX2:", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE)
        << "the names are gone with the instances";
}

TEST_F(GsmmuxdConfiguration, ConfigurationWithoutAnInstanceIsRefusedInOneLine)
{
    const std::string empty = dir_ + "/empty.reg";
    std::ofstream(empty) << "[HKEY_LOCAL_MACHINE\\Software\\Ovadrel]\n    \"Ovadrel\"=dword:0\n";
    DispatcherRig rig(4);
    plat::ClearRegistry();
    std::string error;
    ASSERT_TRUE(gsmmuxd::LoadConfiguration(empty, &error)) << error;
    std::vector<gsmmuxd::Instance> instances;
    EXPECT_FALSE(gsmmuxd::ActivateInstances(&instances, &error));
    EXPECT_TRUE(instances.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_NE(error.find("no instance"), std::string::npos) << error;
}

// An instance the device manager could not activate is the configuration's
// fault, and the message says which value is wrong, not what the module did.
TEST_F(GsmmuxdConfiguration, InstanceNotActivatedIsNamedWithItsMissingValue)
{
    const struct {
        const char* values;
        const char* why;
    } cases[] = {
        {"\"GSM_0710_DLCI\"=dword:1\n",
         "Drivers\\BuiltIn\\MUX1: not activated: no \"GSM_0710_TYPE\" (a dword) in the key"},
        {"\"GSM_0710_TYPE\"=dword:1\n",
         "Drivers\\BuiltIn\\MUX1: not activated: no \"GSM_0710_DLCI\" (a dword) in the key"},
    };
    for (const auto& c : cases) {
        const std::string reg = dir_ + "/one.reg";
        std::ofstream(reg) << "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n\"Prefix\"=\"MUX\"\n"
                              "\"Dll\"=\"gsmmux.dll\"\n\"Index\"=dword:1\n"
                           << c.values;
        DispatcherRig rig(5);
        plat::ClearRegistry();
        std::string error;
        ASSERT_TRUE(gsmmuxd::LoadConfiguration(reg, &error)) << error;
        std::vector<gsmmuxd::Instance> instances;
        EXPECT_FALSE(gsmmuxd::ActivateInstances(&instances, &error));
        EXPECT_EQ(error, c.why);
        EXPECT_TRUE(instances.empty());
        EXPECT_TRUE(rig.Modem().Record().empty()) << "the module is not involved";
    }
}

// ---- links ----

class GsmmuxdLinks : public ::testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir("gsmmuxd-links"); }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string dir_;
};

TEST_F(GsmmuxdLinks, LinkDirectoryIsMadeOrRefusedInWords)
{
    std::string error;
    const std::string fresh = dir_ + "/mux";
    EXPECT_TRUE(gsmmuxd::PrepareLinkDir(fresh, &error)) << error;
    EXPECT_TRUE(fs::is_directory(fresh));
    EXPECT_TRUE(fs::is_empty(fresh)) << "the probe link is gone again";
    EXPECT_TRUE(gsmmuxd::PrepareLinkDir(fresh, &error)) << "an existing directory will do";

    EXPECT_FALSE(gsmmuxd::PrepareLinkDir(dir_ + "/no/such", &error));
    EXPECT_EQ(error, "link directory " + dir_ + "/no/such: No such file or directory");
    std::ofstream(dir_ + "/file") << "x";
    EXPECT_FALSE(gsmmuxd::PrepareLinkDir(dir_ + "/file", &error));
    EXPECT_EQ(error, "link directory " + dir_ + "/file: not a directory");
    // Not writable even for root.
    EXPECT_FALSE(gsmmuxd::PrepareLinkDir("/proc/self", &error));
    EXPECT_EQ(error.rfind("link directory /proc/self cannot be written", 0), 0u) << error;
}

TEST_F(GsmmuxdLinks, OneDaemonPerLinkDirectoryByItsLockedPidFile)
{
    std::string error;
    const std::string pidFile = dir_ + "/gsmmuxd.pid";
    // A pid file left by a daemon that was killed holds no lock.
    std::ofstream(pidFile) << "999999\n";
    std::unique_ptr<gsmmuxd::DirLock> first = gsmmuxd::DirLock::Take(dir_, &error);
    ASSERT_TRUE(first) << error;
    std::ifstream in(pidFile);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, std::to_string(getpid()) + "\n");

    // flock belongs to the open file: a second taker in this process is
    // refused as one in another process would be.
    EXPECT_FALSE(gsmmuxd::DirLock::Take(dir_, &error));
    EXPECT_EQ(error, "--link-dir " + dir_ + " is in use by another gsmmuxd (pid " +
                         std::to_string(getpid()) +
                         "); stop it first or choose another --link-dir");

    first.reset();
    EXPECT_FALSE(fs::exists(pidFile)) << "the pid file goes with the daemon";
    EXPECT_TRUE(gsmmuxd::DirLock::Take(dir_, &error)) << error;

    // A planted symlink is not followed.
    fs::create_symlink(dir_ + "/elsewhere", pidFile);
    EXPECT_FALSE(gsmmuxd::DirLock::Take(dir_, &error));
    EXPECT_FALSE(fs::exists(dir_ + "/elsewhere"));
}

// The links are the clients' way to the module: nobody but this user (and
// root) may be able to swap them. The default is the runtime directory.
TEST_F(GsmmuxdLinks, LinkDirectoryAnotherUserCanWriteIsRefused)
{
    if (geteuid() == 0) {
        EXPECT_EQ(gsmmuxd::DefaultLinkDir(), "/run/gsmmux");
    } else {
        const char* saved = getenv("XDG_RUNTIME_DIR");
        const std::string keep = saved ? saved : "";
        setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
        EXPECT_EQ(gsmmuxd::DefaultLinkDir(), "/run/user/4242/gsmmux");
        unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(gsmmuxd::DefaultLinkDir(), "");
        if (saved) setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
    }
    std::string error;
    EXPECT_FALSE(gsmmuxd::PrepareLinkDir("", &error));
    EXPECT_EQ(error, "no link directory: XDG_RUNTIME_DIR is not set; give --link-dir DIR");

    const std::string open = dir_ + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    EXPECT_FALSE(gsmmuxd::PrepareLinkDir(open, &error));
    EXPECT_EQ(error, "link directory " + open +
                         " can be written by every user (mode 0777), who could swap the MUXn "
                         "links; use a directory of your own");
    EXPECT_TRUE(fs::is_empty(open)) << "nothing is made in a refused directory";
    // Sticky, as /tmp: others cannot replace or remove this user's links.
    ASSERT_EQ(chmod(open.c_str(), 01777), 0);
    EXPECT_TRUE(gsmmuxd::PrepareLinkDir(open, &error)) << error;

    const std::string group = dir_ + "/group";
    ASSERT_EQ(mkdir(group.c_str(), 0700), 0);
    ASSERT_EQ(chmod(group.c_str(), 0770), 0);
    EXPECT_TRUE(gsmmuxd::PrepareLinkDir(group, &error)) << "this user's own group: " << error;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(group.c_str(), 0, 4242), 0);
        EXPECT_FALSE(gsmmuxd::PrepareLinkDir(group, &error));
        EXPECT_NE(error.find("can be written by group 4242 (mode 0770)"), std::string::npos)
            << error;
        const std::string theirs = dir_ + "/theirs";
        ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
        ASSERT_EQ(chown(theirs.c_str(), 4242, 4242), 0);
        EXPECT_FALSE(gsmmuxd::PrepareLinkDir(theirs, &error));
        EXPECT_NE(error.find("is owned by another user (uid 4242)"), std::string::npos) << error;
    }
}

TEST_F(GsmmuxdLinks, LinkPointsToARawSlaveAndGoesAwayWithIt)
{
    std::string error;
    const std::string path = dir_ + "/MUX1";
    std::string slave;
    {
        auto link = gsmmuxd::PtyLink::Create(path, &error);
        ASSERT_TRUE(link) << error;
        slave = link->SlavePath();
        EXPECT_EQ(fs::read_symlink(path).string(), slave);
        const int client = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(client, 0);
        termios t;
        ASSERT_EQ(tcgetattr(client, &t), 0);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "a client that sets nothing gets raw octets";
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        ASSERT_EQ(write(client, "\r\n\x03", 3), 3);
        EXPECT_EQ(ReadFor(link->Master(), 3, 500), "\r\n\x03");
        close(client);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "the link is removed with the pseudo-terminal";

    // A stale link from an earlier run is replaced; a link someone else
    // re-pointed meanwhile is left alone; anything else is refused.
    fs::create_symlink("/dev/pts/999999", path);
    {
        auto link = gsmmuxd::PtyLink::Create(path, &error);
        ASSERT_TRUE(link) << error;
        EXPECT_EQ(fs::read_symlink(path).string(), link->SlavePath());
        fs::remove(path);
        fs::create_symlink("/dev/null", path);
    }
    EXPECT_EQ(fs::read_symlink(path).string(), "/dev/null");
    fs::remove(path);
    std::ofstream(path) << "mine";
    EXPECT_FALSE(gsmmuxd::PtyLink::Create(path, &error));
    EXPECT_EQ(error, path + ": exists and is not a symlink");
}

// ---- the bridge, on a port over a real tty ----

class GsmmuxdBridge : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::UseRealTime();
        dir_ = MakeTempDir("gsmmuxd-bridge");
        ASSERT_TRUE(modem_.Ok());
        std::string error;
        tty_ = plat::serial::OpenTtyBackend("COM8:", modem_.SlavePath(), &error);
        ASSERT_TRUE(tty_) << error;
        port_ = CreateFileW(TEXT("COM8:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        link_ = gsmmuxd::PtyLink::Create(dir_ + "/MUX1", &error);
        ASSERT_TRUE(link_) << error;
        bridge_.reset(new gsmmuxd::Bridge("MUX1", port_, link_->Master()));
        ASSERT_TRUE(bridge_->Start(&error)) << error;
    }
    void TearDown() override
    {
        if (client_ >= 0) close(client_);
        bridge_.reset();
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
        link_.reset();
        tty_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void OpenClient()
    {
        client_ = open((dir_ + "/MUX1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(client_, 0);
    }
    void CloseClient()
    {
        close(client_);
        client_ = -1;
    }
    template <class Pred>
    static bool Within(int ms, Pred pred)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::string dir_;
    PtyPair modem_;
    std::unique_ptr<plat::serial::TtyBackend> tty_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<gsmmuxd::PtyLink> link_;
    std::unique_ptr<gsmmuxd::Bridge> bridge_;
    int client_ = -1;
};

TEST_F(GsmmuxdBridge, MovesEveryOctetBothWays)
{
    OpenClient();
    ASSERT_TRUE(WriteAll(client_, "AT\r"));
    EXPECT_EQ(ReadFor(modem_.Master(), 3, 1000), "AT\r");
    ASSERT_TRUE(WriteAll(modem_.Master(), "\r\nOK\r\n"));
    EXPECT_EQ(ReadFor(client_, 6, 1000), "\r\nOK\r\n");

    const std::string bulk = AllOctets(64);  // 16 KB each way, every value
    std::string atModem, atClient;
    std::thread modemSide([&] {
        EXPECT_TRUE(WriteAll(modem_.Master(), bulk, 1500));
        atModem = ReadFor(modem_.Master(), bulk.size(), 1500);
    });
    ASSERT_TRUE(WriteAll(client_, bulk, 1500));
    atClient = ReadFor(client_, bulk.size(), 1500);
    modemSide.join();
    EXPECT_TRUE(atModem == bulk) << atModem.size() << " of " << bulk.size() << " octets at the modem";
    EXPECT_TRUE(atClient == bulk) << atClient.size() << " of " << bulk.size() << " octets at the client";
    // The counters move just after the octets do.
    EXPECT_TRUE(Within(500, [&] { return bridge_->OctetsToPort() == bulk.size() + 3; }))
        << bridge_->OctetsToPort();
    EXPECT_TRUE(Within(500, [&] { return bridge_->OctetsToClient() == bulk.size() + 6; }))
        << bridge_->OctetsToClient();
    EXPECT_FALSE(bridge_->Failed()) << bridge_->Failure();
}

TEST_F(GsmmuxdBridge, ClientThatClosesAndReopensKeepsWorkingWithoutStaleData)
{
    OpenClient();
    ASSERT_TRUE(WriteAll(client_, "ATE0\r"));
    EXPECT_EQ(ReadFor(modem_.Master(), 5, 1000), "ATE0\r");
    CloseClient();
    ASSERT_TRUE(WriteAll(modem_.Master(), "stale"));
    EXPECT_TRUE(Within(1000, [&] { return bridge_->OctetsDropped() == 5; }))
        << bridge_->OctetsDropped() << " dropped";

    OpenClient();
    ASSERT_TRUE(WriteAll(modem_.Master(), "fresh"));
    EXPECT_EQ(ReadFor(client_, 10, 300), "fresh") << "what came while nobody listened is gone";
    ASSERT_TRUE(WriteAll(client_, "AT\r"));
    EXPECT_EQ(ReadFor(modem_.Master(), 3, 1000), "AT\r");
    EXPECT_FALSE(bridge_->Failed()) << bridge_->Failure();
}

TEST_F(GsmmuxdBridge, LineGoneFailsTheBridgeInWordsAndStopStaysQuick)
{
    OpenClient();
    modem_.CloseMaster();
    EXPECT_TRUE(Within(1000, [&] { return bridge_->Failed(); }));
    EXPECT_EQ(bridge_->Failure(), "MUX1: WaitCommEvent failed (error 6)");
    const auto start = std::chrono::steady_clock::now();
    bridge_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(GsmmuxdBridge, StopReleasesBothThreadsWhileIdle)
{
    OpenClient();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both threads waiting
    const auto start = std::chrono::steady_clock::now();
    bridge_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_FALSE(bridge_->Failed()) << bridge_->Failure();
    bridge_->Stop();  // again: nothing
}

TEST_F(GsmmuxdBridge, WriteHeldUpByTheLineEndsWhenThePortGoes)
{
    OpenClient();
    // The modem reads nothing: the tty's buffers fill and WriteFile waits.
    const std::string bulk = AllOctets(1024);
    WriteAll(client_, bulk, 300);
    EXPECT_TRUE(Within(1000, [&] { return bridge_->OctetsToPort() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t stuckAt = bridge_->OctetsToPort();
    EXPECT_LT(stuckAt, bulk.size());
    bridge_->RequestStop();
    tty_.reset();  // the port fails, as deactivation ends the driver's write
    const auto start = std::chrono::steady_clock::now();
    bridge_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_FALSE(bridge_->Failed()) << "an error caused by the shutdown is no failure: "
                                    << bridge_->Failure();
}

// ---- the program ----

struct RunResult {
    int exitCode = -1;
    std::string err;
};

RunResult RunGsmmuxd(const std::string& args, const std::string& scratch)
{
    const fs::path exe = fs::read_symlink("/proc/self/exe").parent_path() / "gsmmuxd";
    const std::string errFile = scratch + "/stderr.txt";
    const std::string cmd = "'" + exe.string() + "' " + args + " >/dev/null 2>'" + errFile + "'";
    const int status = std::system(cmd.c_str());
    RunResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(errFile);
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

TEST_F(GsmmuxdLinks, ProgramAnswersBadInputWithOneLineAndStatusTwo)
{
    PtyPair busy;
    ASSERT_TRUE(busy.Ok());
    const int holder = open(busy.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // as picocom holds a tty
    const std::string links = "--link-dir '" + dir_ + "/links'";
    PtyPair free;
    ASSERT_TRUE(free.Ok());
    const std::string badReg = dir_ + "/bad.reg";
    std::ofstream(badReg) << "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]\n\"Prefix\" \"MUX\"\n";
    const struct {
        std::string args;
        std::string line;
    } cases[] = {
        {"--port COM9:=/nonexistent/ttyUSB9 " + links,
         "gsmmuxd: /nonexistent/ttyUSB9: No such file or directory\n"},
        {"--port COM9:=" + busy.SlavePath() + " " + links,
         "gsmmuxd: " + busy.SlavePath() + ": busy (another program has it open exclusively or locked)\n"},
        {"--port COM9:=/dev/null " + links, "gsmmuxd: /dev/null: not a tty\n"},
        {"--port COM9:=" + busy.SlavePath() + " --link-dir /proc/self",
         "gsmmuxd: link directory /proc/self cannot be written: No such file or directory\n"},
        {"--lines", "gsmmuxd: option '--lines' needs a value\n"},
        {"--port COM9:=" + free.SlavePath() + " " + links + " --reg '" + badReg + "'",
         "gsmmuxd: " + badReg + ":2: '=' expected after the value name\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = RunGsmmuxd(c.args, dir_);
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_EQ(r.err, c.line) << c.args;
    }
    close(holder);
    EXPECT_EQ(RunGsmmuxd("--help", dir_).exitCode, 0);
    EXPECT_EQ(RunGsmmuxd("--version", dir_).exitCode, 0);
}

}  // namespace
