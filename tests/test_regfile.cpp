// Registry files: the value formats, the errors with file and line (and
// nothing loaded after one), and the project's default configuration.
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Raw {
    LONG rc = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

Raw Query(const std::u16string& path, const std::u16string& name)
{
    Raw r;
    HKEY key = nullptr;
    r.rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    if (r.rc != ERROR_SUCCESS) return r;
    BYTE buf[512];
    DWORD size = sizeof buf;
    r.rc = RegQueryValueExW(key, name.c_str(), nullptr, &r.type, buf, &size);
    if (r.rc == ERROR_SUCCESS) r.data.assign(buf, buf + size);
    RegCloseKey(key);
    return r;
}

std::vector<BYTE> Wide(const std::u16string& s)
{
    std::vector<BYTE> out;
    for (char16_t c : s) {
        out.push_back((BYTE)(c & 0xFF));
        out.push_back((BYTE)(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::u16string String(const std::u16string& path, const std::u16string& name)
{
    Raw r = Query(path, name);
    if (r.rc != ERROR_SUCCESS || r.type != REG_SZ || r.data.size() < 2) return u"<missing>";
    return std::u16string(reinterpret_cast<const char16_t*>(r.data.data()), r.data.size() / 2 - 1);
}

DWORD Dword(const std::u16string& path, const std::u16string& name)
{
    Raw r = Query(path, name);
    EXPECT_EQ(ERROR_SUCCESS, r.rc) << plat::ToUtf8(path) << " " << plat::ToUtf8(name);
    EXPECT_EQ(REG_DWORD, r.type);
    DWORD v = 0xDEADBEEF;
    if (r.data.size() == 4) memcpy(&v, r.data.data(), 4);
    return v;
}

class RegFile : public ::testing::Test {
protected:
    void SetUp() override { plat::ClearRegistry(); }
    void TearDown() override { plat::ClearRegistry(); }
};

TEST_F(RegFile, ReadsEveryValueFormat)
{
    const std::string text =
        "\xEF\xBB\xBFREGEDIT4\r\n"
        "; a comment line\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX1]   ; comment after a key\r\n"
        "    \"Prefix\"=\"MUX\"\r\n"
        "    \"Quoted\"=\"a \\\"b\\\" c:\\\\d; not a comment\" ; but this is\r\n"
        "    \"Index\"=dword:1\r\n"
        "    \"Big\" = dword:FFFFfffe\r\n"
        "    @=\"default\"\r\n"
        "    \"Bytes\"=hex:01,2,ff,\\\r\n"
        "          80 ,7f\r\n"
        "    \"Empty\"=hex:\r\n"
        "    \"Expand\"=hex(2):41,00,00,00\r\n"
        "    \"List\"=multi_sz:\"one\",\\\r\n"
        "              \"tw\\\\o\"\r\n"
        "    \"Wide\"=\"Gr\xC3\xBC\xC3\x9F\"\r\n"
        "[hkey_local_machine\\drivers\\builtin\\mux1]\r\n"
        "    \"Later\"=dword:7\r\n";
    std::string error;
    ASSERT_TRUE(plat::LoadRegText(text, "formats.reg", &error)) << error;

    const std::u16string k = u"Drivers\\BuiltIn\\MUX1";
    EXPECT_EQ(u"MUX", String(k, u"Prefix"));
    EXPECT_EQ(u"a \"b\" c:\\d; not a comment", String(k, u"Quoted"));
    EXPECT_EQ(1u, Dword(k, u"Index"));
    EXPECT_EQ(0xFFFFFFFEu, Dword(k, u"Big"));
    EXPECT_EQ(u"default", String(k, u""));
    EXPECT_EQ(u"Gr\u00FC\u00DF", String(k, u"Wide"));
    EXPECT_EQ(7u, Dword(k, u"Later"));  // a second section of the same key adds to it

    Raw bytes = Query(k, u"Bytes");
    EXPECT_EQ(REG_BINARY, bytes.type);
    EXPECT_EQ((std::vector<BYTE>{0x01, 0x02, 0xFF, 0x80, 0x7F}), bytes.data);
    Raw empty = Query(k, u"Empty");
    EXPECT_EQ(ERROR_SUCCESS, empty.rc);
    EXPECT_EQ(REG_BINARY, empty.type);
    EXPECT_TRUE(empty.data.empty());
    Raw expand = Query(k, u"Expand");
    EXPECT_EQ(REG_EXPAND_SZ, expand.type);
    EXPECT_EQ((std::vector<BYTE>{0x41, 0, 0, 0}), expand.data);

    Raw list = Query(k, u"List");
    EXPECT_EQ(REG_MULTI_SZ, list.type);
    std::vector<BYTE> expected = Wide(u"one");
    std::vector<BYTE> two = Wide(u"tw\\o");
    expected.insert(expected.end(), two.begin(), two.end());
    expected.push_back(0);
    expected.push_back(0);
    EXPECT_EQ(expected, list.data);
}

TEST_F(RegFile, ReadsUtf16WithByteOrderMark)
{
    const std::u16string text = u"[HKEY_LOCAL_MACHINE\\Software\\Ovadrel]\n\"Ovadrel\"=dword:1\n";
    std::string raw = "\xFF\xFE";
    for (char16_t c : text) {
        raw += (char)(c & 0xFF);
        raw += (char)(c >> 8);
    }
    std::string error;
    ASSERT_TRUE(plat::LoadRegText(raw, "wide.reg", &error)) << error;
    EXPECT_EQ(1u, Dword(u"Software\\Ovadrel", u"Ovadrel"));
}

// Each bad file names the file and the line of the fault, and leaves the
// registry as it was, although a good key came before the fault.
TEST_F(RegFile, BadInputNamesFileAndLineAndLoadsNothing)
{
    struct Case {
        const char* body;  // follows two good lines: a key and a value
        const char* error;
    };
    const Case cases[] = {
        {"\"T\"=qword:1\n", "bad.reg:3: unknown value type 'qword:'"},
        {"\"T\"=\"open\n", "bad.reg:3: unterminated string"},
        {"\"T\"=\"a\\nb\"\n", "bad.reg:3: unknown escape \\n in a string"},
        {"\"T\"=hex:01,xz\n", "bad.reg:3: bad hex byte"},
        {"\"T\"=hex:01,,02\n", "bad.reg:3: bad hex byte"},
        {"\"T\"=hex:100\n", "bad.reg:3: bad hex byte"},
        {"\"T\"=hex:01,\\\n  02,g1\n", "bad.reg:4: bad hex byte"},
        {"\"T\"=dword:123456789\n", "bad.reg:3: bad dword: 1 to 8 hex digits expected"},
        {"\"T\"=dword:\n", "bad.reg:3: bad dword: 1 to 8 hex digits expected"},
        {"\"T\"=dword:0x1\n", "bad.reg:3: unexpected text after the value: x1"},
        {"\"T\" dword:1\n", "bad.reg:3: '=' expected after the value name"},
        {"\"T\"=\n", "bad.reg:3: a value expected after '='"},
        {"\"T\"=-\n", "bad.reg:3: deleting a value is not supported"},
        {"\"T\"=multi_sz:\"a\" \"b\"\n",
         "bad.reg:3: ',' expected between the strings of a multi_sz"},
        {"[HKEY_CURRENT_USER\\X]\n",
         "bad.reg:3: only keys under HKEY_LOCAL_MACHINE can be loaded: HKEY_CURRENT_USER"},
        {"[-HKEY_LOCAL_MACHINE\\X]\n", "bad.reg:3: deleting a key is not supported"},
        {"[HKEY_LOCAL_MACHINE\\X\n", "bad.reg:3: ']' expected at the end of the key"},
        {"[HKEY_LOCAL_MACHINE]\n", "bad.reg:3: a key below HKEY_LOCAL_MACHINE expected"},
        {"\n\nPrefix=MUX\n", "bad.reg:5: neither a key nor a value: Prefix=MUX"},
    };
    for (const Case& c : cases) {
        plat::ClearRegistry();
        const std::string text =
            std::string("[HKEY_LOCAL_MACHINE\\Good]\n\"A\"=dword:1\n") + c.body;
        std::string error;
        EXPECT_FALSE(plat::LoadRegText(text, "bad.reg", &error)) << c.body;
        EXPECT_EQ(c.error, error) << c.body;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(u"Good", u"A").rc) << c.body;
    }
}

TEST_F(RegFile, ValueBeforeAnyKeyIsRefused)
{
    std::string error;
    EXPECT_FALSE(plat::LoadRegText("; header\n\n  \"Orphan\"=dword:1\n[HKEY_LOCAL_MACHINE\\A]\n",
                                   "orphan.reg", &error));
    EXPECT_EQ("orphan.reg:3: a value outside any key", error);
    EXPECT_TRUE(plat::RegistrySubkeys(u"").empty());
}

TEST_F(RegFile, LoadsFromFileAndReportsMissingFile)
{
    const std::string dir = MakeTempDir("regfile_");
    const std::string path = dir + "/x.reg";
    std::ofstream(path) << "[HKEY_LOCAL_MACHINE\\Software\\Ovadrel]\n\"Ovadrel\"=dword:0\n";
    std::string error;
    EXPECT_TRUE(plat::LoadRegFile(path, &error)) << error;
    EXPECT_EQ(0u, Dword(u"Software\\Ovadrel", u"Ovadrel"));

    EXPECT_FALSE(plat::LoadRegFile(dir + "/none.reg", &error));
    EXPECT_EQ(dir + "/none.reg: cannot be opened", error);
    std::filesystem::remove_all(dir);
}

// The default configuration: three or more instances on distinct DLCIs, with
// everything the driver and the device manager read, and the values other
// parts of the system read.
TEST_F(RegFile, DefaultConfigurationDeclaresTheInstances)
{
    std::string error;
    ASSERT_TRUE(plat::LoadRegFile(std::string(MUX_SOURCE_DIR) + "/config/mux.reg", &error))
        << error;
    std::set<std::u16string> names;
    std::set<DWORD> dlcis;
    std::map<std::u16string, DWORD> typeOf;
    for (const std::u16string& sub : plat::RegistrySubkeys(u"Drivers\\BuiltIn")) {
        const std::u16string k = u"Drivers\\BuiltIn\\" + sub;
        EXPECT_EQ(u"MUX", String(k, u"Prefix"));
        EXPECT_NE(u"<missing>", String(k, u"Dll"));
        Dword(k, u"Order");
        const std::u16string name =
            u"MUX" + plat::FromUtf8(std::to_string(Dword(k, u"Index"))) + u":";
        names.insert(name);
        const DWORD dlci = Dword(k, u"GSM_0710_DLCI");
        EXPECT_GE(dlci, 1u);
        EXPECT_LE(dlci, 63u);
        dlcis.insert(dlci);
        typeOf[name] = Dword(k, u"GSM_0710_TYPE");
    }
    EXPECT_GE(names.size(), 3u);
    EXPECT_EQ(names.size(), dlcis.size()) << "one instance per DLCI";
    EXPECT_TRUE(names.count(u"MUX1:"));
    EXPECT_TRUE(names.count(u"MUX3:"));
    ASSERT_TRUE(names.count(u"MUX2:"));
    EXPECT_EQ(0u, typeOf[u"MUX2:"]);

    // The phone's log is off in normal use.
    EXPECT_EQ(0u, Dword(u"Software\\Ovadrel", u"Ovadrel"));
    EXPECT_TRUE(names.count(String(u"Software\\Microsoft\\RIL", u"DataPort")));
    EXPECT_TRUE(names.count(String(u"Software\\Microsoft\\RIL", u"ComPortNotifications")));
    EXPECT_EQ(0u, Dword(u"System\\State\\Phone", u"Status") & 0x1000u);
}

}  // namespace
