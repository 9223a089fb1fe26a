// Files under the device root, devices registered by name, and the
// wide/narrow conversions.
#include "platform/host.h"
#include "platform/kernel/object.h"
#include "platform/platform.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = MakeTempDir("platform_files_");
        plat::SetDeviceRoot(root_);
    }
    void TearDown() override
    {
        plat::SetDeviceRoot(".");
        std::filesystem::remove_all(root_);
    }

    std::string Contents(const std::string& rel)
    {
        std::ifstream in(root_ + "/" + rel, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static DWORD Write(HANDLE h, const std::string& s)
    {
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(h, s.data(), (DWORD)s.size(), &n, NULL));
        return n;
    }

    std::string root_;
    SimWorld world_{3};  // file calls are platform calls: run them in a world
};

TEST_F(FilesTest, DispositionsAndLastErrors)
{
    HANDLE h = CreateFileW(TEXT("\\MuxLog.txt"), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Write(h, "first"), 5u);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Contents("MuxLog.txt"), "first");

    EXPECT_EQ(CreateFileW(TEXT("\\MuxLog.txt"), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);

    // OPEN_ALWAYS on an existing file: success, existing content kept, and
    // the last error says it existed. Appending is a seek to the end.
    h = CreateFileW(TEXT("\\MuxLog.txt"), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0,
                    NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_END), 5u);
    Write(h, "+second");
    CloseHandle(h);
    EXPECT_EQ(Contents("MuxLog.txt"), "first+second");

    h = CreateFileW(TEXT("\\New.txt"), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, 0, NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(h);

    EXPECT_EQ(CreateFileW(TEXT("\\Missing.txt"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(TEXT("\\NoDir\\x.txt"), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileW(TEXT("\\Missing.txt"), GENERIC_WRITE, 0, NULL, TRUNCATE_EXISTING, 0,
                          NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    h = CreateFileW(TEXT("\\MuxLog.txt"), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(Contents("MuxLog.txt"), "") << "CREATE_ALWAYS truncates";
}

TEST_F(FilesTest, PointerAndReadBackInSubdirectory)
{
    ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0755), 0);
    HANDLE h = CreateFileW(TEXT("\\dir\\x.txt"), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                           CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Write(h, "0123456789");
    EXPECT_EQ(SetFilePointer(h, 2, NULL, FILE_BEGIN), 2u);
    Write(h, "ab");
    EXPECT_EQ(SetFilePointer(h, -3, NULL, FILE_END), 7u);
    EXPECT_EQ(SetFilePointer(h, -1, NULL, FILE_CURRENT), 6u);
    EXPECT_EQ(SetFilePointer(h, -7, NULL, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_BEGIN), 0u);
    EXPECT_EQ(high, 0);
    char buf[32] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(std::string(buf, n), "01ab456789");
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(n, 0u) << "end of file reads nothing, successfully";
    CloseHandle(h);
    EXPECT_EQ(Contents("dir/x.txt"), "01ab456789");

    h = CreateFileW(TEXT("\\dir\\x.txt"), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                    NULL);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(h);
    h = CreateFileW(TEXT("\\dir\\x.txt"), GENERIC_WRITE, 0, NULL, TRUNCATE_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Contents("dir/x.txt"), "");
}

TEST_F(FilesTest, ShareModes)
{
    HANDLE a = CreateFileW(TEXT("\\ATARsp.txt"), GENERIC_WRITE, FILE_SHARE_READ, NULL,
                           CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    Write(a, "kept");
    HANDLE r = CreateFileW(TEXT("\\ATARsp.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(r, INVALID_HANDLE_VALUE) << "reading is shared";
    EXPECT_EQ(CreateFileW(TEXT("\\ATARsp.txt"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          NULL, CREATE_ALWAYS, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Contents("ATARsp.txt"), "kept") << "a refused CREATE_ALWAYS truncates nothing";
    CloseHandle(a);
    CloseHandle(r);
    HANDLE w = CreateFileW(TEXT("\\ATARsp.txt"), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(w, INVALID_HANDLE_VALUE) << "closing the handles ends the sharing";
    CloseHandle(w);
}

class Recorder : public plat::Object {
public:
    explicit Recorder(std::string* sink) : Object(plat::ObjectKind::Device), sink_(sink) {}
    BOOL Write(LPCVOID buffer, DWORD n, LPDWORD written) override
    {
        sink_->append(static_cast<const char*>(buffer), n);
        *written = n;
        return TRUE;
    }
    BOOL Close() override
    {
        sink_->append("|closed");
        return TRUE;
    }

private:
    std::string* sink_;
};

TEST_F(FilesTest, DevicesByName)
{
    std::string sink;
    DWORD seenAccess = 0;
    plat::RegisterDevice(u"TST9:", [&](DWORD access, DWORD, DWORD, DWORD) -> plat::Object* {
        seenAccess = access;
        return new Recorder(&sink);
    });
    HANDLE h = CreateFileW(TEXT("tst9:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                           NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(seenAccess, GENERIC_READ | GENERIC_WRITE);
    Write(h, "AT\r");
    DWORD n = 0;
    char c;
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, NULL)) << "the device does not read";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(sink, "AT\r|closed");
    plat::UnregisterDevice(u"TST9:");

    EXPECT_EQ(CreateFileW(TEXT("COM7:"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

// A file with a size limit starts afresh when a write would take it past
// the limit; the full one is kept as NAME.1, so at most twice the limit is
// ever on disk and the newest writes are always in the file itself.
TEST_F(FilesTest, SizeLimitKeepsOneFullFileBesideTheCurrentOne)
{
    plat::SetFileSizeLimit(u"\\MuxLog.txt", 10);
    HANDLE h = CreateFileW(TEXT("\\MuxLog.txt"), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Write(h, "aaaa"), 4u);
    EXPECT_EQ(Write(h, "bbbbbb"), 6u);  // exactly the limit
    EXPECT_EQ(Contents("MuxLog.txt"), "aaaabbbbbb");
    EXPECT_EQ(Write(h, "cc"), 2u);
    EXPECT_EQ(Contents("MuxLog.txt"), "cc");
    EXPECT_EQ(Contents("MuxLog.txt.1"), "aaaabbbbbb");
    EXPECT_EQ(Write(h, "dddddddd"), 8u);
    EXPECT_EQ(Write(h, "e"), 1u);
    EXPECT_EQ(Contents("MuxLog.txt"), "e");
    EXPECT_EQ(Contents("MuxLog.txt.1"), "ccdddddddd");
    // A single write larger than the limit still goes whole into a fresh file.
    EXPECT_EQ(Write(h, std::string(25, 'f')), 25u);
    EXPECT_EQ(Contents("MuxLog.txt"), std::string(25, 'f'));
    // The handle follows the fresh file: sharing is checked against it.
    EXPECT_EQ(CreateFileW(TEXT("\\MuxLog.txt"), GENERIC_WRITE, FILE_SHARE_READ, NULL,
                          OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(h));

    // Other files, and the same one once the limit is lifted, grow freely.
    plat::SetFileSizeLimit(u"\\MuxLog.txt", 0);
    h = CreateFileW(TEXT("\\MuxLog.txt"), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFilePointer(h, 0, NULL, FILE_END);
    EXPECT_EQ(Write(h, "gg"), 2u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Contents("MuxLog.txt"), std::string(25, 'f') + "gg");
}

TEST(Utf, RoundTripsAndReplacesBrokenInput)
{
    std::u16string wide = u"MUX2: \u00e9\u20ac \U0001F600";
    std::string narrow = plat::ToUtf8(wide);
    EXPECT_EQ(narrow, "MUX2: \xc3\xa9\xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(plat::FromUtf8(narrow), wide);
    EXPECT_EQ(plat::ToUtf8(std::u16string(1, (char16_t)0xD800)), "\xef\xbf\xbd");
    EXPECT_EQ(plat::FromUtf8("a\xc3"), u"a\uFFFD");
    EXPECT_EQ(plat::FromUtf8("\xc0\xaf"), u"\uFFFD\uFFFD") << "overlong forms are refused";
    plat::SetDeviceRoot("/r/");
    EXPECT_EQ(plat::HostPathFor(u"\\dir\\MuxLog.txt"), "/r/dir/MuxLog.txt");
    plat::SetDeviceRoot(".");
}

}  // namespace
