// The in-memory HKEY_LOCAL_MACHINE, driven as ordinary Win32 code would.
#include "platform/host.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override { plat::ClearRegistry(); }
    void TearDown() override { plat::ClearRegistry(); }

    static HKEY Create(LPCWSTR path, DWORD* disposition = nullptr)
    {
        HKEY h = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &h, disposition));
        return h;
    }
    static void SetDword(HKEY h, LPCWSTR name, DWORD v)
    {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(h, name, 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&v), sizeof v));
    }
    static void SetString(HKEY h, LPCWSTR name, const std::u16string& s)
    {
        EXPECT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                                 static_cast<DWORD>((s.size() + 1) * sizeof(WCHAR))));
    }
};

TEST_F(Registry, CreateReportsDispositionAndBuildsIntermediateKeys)
{
    DWORD disp = 0;
    HKEY a = Create(u"Drivers\\BuiltIn\\Mux1", &disp);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disp);
    HKEY b = Create(u"Drivers\\BuiltIn\\Mux1", &disp);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disp);
    HKEY c = Create(u"DRIVERS\\builtin", &disp);  // the intermediate key exists
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disp);
    HKEY d = Create(u"Drivers\\BuiltIn\\Mux2", nullptr);  // disposition is optional
    EXPECT_NE(nullptr, d);
    for (HKEY h : {a, b, c, d}) EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(h));
}

TEST_F(Registry, PathsAndValueNamesAreCaseInsensitive)
{
    HKEY w = Create(u"Software\\Ovadrel");
    SetDword(w, u"Log", 1);
    RegCloseKey(w);

    HKEY r = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ovadrel", 0, KEY_READ, &r));
    DWORD type = 0, v = 0, cb = sizeof v;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(r, u"LOG", nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(1u, v);
    EXPECT_EQ(4u, cb);
    RegCloseKey(r);

    // A relative open from an open key, and separators doubled or trailing.
    HKEY sw = nullptr, ov = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software", 0, KEY_READ, &sw));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(sw, u"OVADREL\\", 0, KEY_READ, &ov));
    RegCloseKey(ov);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\\\Ovadrel", 0, KEY_READ, &ov));
    RegCloseKey(ov);
    RegCloseKey(sw);

    // Only ASCII letters fold: a different character is a different key.
    HKEY none = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Ovadrel_", 0, KEY_READ, &none));
    EXPECT_EQ(nullptr, none);
}

// As on desktop Windows: a key opened without query access cannot be read,
// one opened without set access cannot be written, and each right alone is
// enough for its own call (Windows CE ignores the mask; a driver that passed
// 0 would work on the phone and fail on a desktop).
TEST_F(Registry, ValuesAreReadAndWrittenOnlyWithTheRightAccess)
{
    HKEY w = Create(u"Drivers\\Active\\01");
    SetDword(w, u"Order", 7);
    RegCloseKey(w);

    const REGSAM masks[] = {0, KEY_SET_VALUE, KEY_QUERY_VALUE, KEY_READ, KEY_WRITE, KEY_ALL_ACCESS};
    for (REGSAM mask : masks) {
        SCOPED_TRACE(mask);
        HKEY h = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01", 0, mask, &h));
        DWORD v = 0, cb = sizeof v;
        const LONG query = RegQueryValueExW(h, u"Order", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb);
        const LONG size = RegQueryValueExW(h, u"Order", nullptr, nullptr, nullptr, &cb);
        const DWORD nv = 8;
        const LONG set = RegSetValueExW(h, u"Other", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nv), sizeof nv);
        const bool canQuery = (mask & KEY_QUERY_VALUE) != 0;
        const bool canSet = (mask & KEY_SET_VALUE) != 0;
        EXPECT_EQ(canQuery ? ERROR_SUCCESS : ERROR_ACCESS_DENIED, query);
        EXPECT_EQ(canQuery ? ERROR_SUCCESS : ERROR_ACCESS_DENIED, size);
        EXPECT_EQ(canQuery ? 7u : 0u, v);
        EXPECT_EQ(canSet ? ERROR_SUCCESS : ERROR_ACCESS_DENIED, set);
        RegCloseKey(h);
    }
    // The predefined root key needs no open.
    DWORD cb = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(HKEY_LOCAL_MACHINE, u"x", nullptr, nullptr, nullptr, &cb));
}

TEST_F(Registry, DwordAndBinaryValues)
{
    HKEY h = Create(u"Drivers\\BuiltIn\\Mux2");
    SetDword(h, u"GSM_0710_DLCI", 2);
    SetDword(h, u"GSM_0710_DLCI", 3);  // overwrites
    const BYTE blob[5] = {1, 2, 3, 0, 0xFF};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Blob", 0, REG_BINARY, blob, sizeof blob));

    DWORD type = 0, v = 0, cb = sizeof v;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(h, u"gsm_0710_dlci", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&v), &cb));
    EXPECT_EQ(3u, v);

    BYTE out[8] = {};
    cb = sizeof out;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(h, u"Blob", nullptr, &type, out, &cb));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ(5u, cb);
    EXPECT_EQ(0, memcmp(blob, out, 5));
    RegCloseKey(h);
}

TEST_F(Registry, StringSizesAreBytesWithTerminator)
{
    HKEY h = Create(u"Drivers\\Active\\12");
    SetString(h, u"Name", u"MUX2:");
    DWORD type = 0, cb = 0;
    // A null data pointer asks for the size only, and succeeds.
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(h, u"Name", nullptr, &type, nullptr, &cb));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(12u, cb);  // 6 units

    WCHAR buf[16];
    for (WCHAR& c : buf) c = u'#';
    cb = sizeof buf;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(h, u"Name", nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb));
    EXPECT_EQ(12u, cb);
    EXPECT_EQ(u"MUX2:", std::u16string(buf));
    EXPECT_EQ(u'#', buf[6]);

    // A string set without its terminator still reads back terminated.
    const std::u16string bare = u"COM9:";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Port", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(bare.data()),
                                            static_cast<DWORD>(bare.size() * 2)));
    for (WCHAR& c : buf) c = u'#';
    cb = sizeof buf;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(h, u"Port", nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb));
    EXPECT_EQ(12u, cb);
    EXPECT_EQ(u"COM9:", std::u16string(buf));
    RegCloseKey(h);
}

TEST_F(Registry, TooSmallBufferGivesMoreDataAndTheNeededSize)
{
    HKEY h = Create(u"Software\\Microsoft\\RIL");
    SetString(h, u"DataPort", u"MUX1:");
    WCHAR buf[4];
    for (WCHAR& c : buf) c = u'#';
    DWORD type = 0, cb = sizeof buf;  // 8 bytes, 12 needed
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExW(h, u"DataPort", nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb));
    EXPECT_EQ(12u, cb);
    EXPECT_EQ(REG_SZ, type);
    for (WCHAR c : buf) EXPECT_EQ(u'#', c);  // nothing written past or into the buffer

    DWORD small = 0;
    SetDword(h, u"ComPortNotifications", 7);
    cb = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(h, u"ComPortNotifications", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(&small), &cb));
    EXPECT_EQ(4u, cb);
    EXPECT_EQ(0u, small);
    RegCloseKey(h);
}

TEST_F(Registry, MissingKeysValuesAndBadArguments)
{
    HKEY h = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\State\\Phone", 0, KEY_READ, &h));
    EXPECT_EQ(nullptr, h);

    h = Create(u"System\\State\\Phone");
    DWORD v = 0xAA, cb = sizeof v, type = 0xBB;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(h, u"Status", nullptr, &type,
                                                     reinterpret_cast<BYTE*>(&v), &cb));
    EXPECT_EQ(0xAAu, v);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(h, u"Status", nullptr, nullptr, nullptr,
                                                     nullptr));
    // Existence check with no outputs at all.
    SetDword(h, u"Status", 1);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(h, u"Status", nullptr, nullptr, nullptr, nullptr));
    // Data without a size, and a non-null reserved pointer, are refused.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(h, u"Status", nullptr, nullptr,
                                                        reinterpret_cast<BYTE*>(&v), nullptr));
    DWORD reserved = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExW(h, u"Status", &reserved, nullptr, nullptr, &cb));
    // The unnamed value: null and empty names are the same.
    SetDword(h, nullptr, 9);
    cb = sizeof v;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(h, u"", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb));
    EXPECT_EQ(9u, v);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(h));

    // A closed or made-up handle is refused, not followed.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(h));
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegQueryValueExW(h, u"Status", nullptr, nullptr, nullptr, &cb));
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(h, u"x", 0, KEY_READ, &sub));
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234), u"x", 0, KEY_READ, &sub));
}

TEST_F(Registry, DeleteOnlyLeafKeys)
{
    HKEY leaf = Create(u"Drivers\\BuiltIn\\Mux3");
    SetDword(leaf, u"GSM_0710_DLCI", 3);

    // A key with a subkey stays.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\Nothing"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"DRIVERS\\builtin\\MUX3"));

    HKEY h = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Mux3", 0, KEY_READ, &h));
    // A handle still open on the deleted key no longer reaches it.
    DWORD v = 0, cb = sizeof v;
    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExW(leaf, u"GSM_0710_DLCI", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&v), &cb));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(leaf));

    // Now the parent is a leaf and can go; recreating gives a fresh key.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn"));
    DWORD disp = 0;
    HKEY again = Create(u"Drivers\\BuiltIn\\Mux3", &disp);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disp);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(again, u"GSM_0710_DLCI", nullptr, nullptr,
                                                     nullptr, &cb));
    RegCloseKey(again);
}

TEST_F(Registry, ClearEmptiesEverything)
{
    HKEY h = Create(u"Software\\Ovadrel");
    SetDword(h, u"Log", 1);
    plat::ClearRegistry();
    HKEY r = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &r));
    DWORD cb = 0;
    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExW(h, u"Log", nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(h));  // still closable
}

TEST_F(Registry, ConcurrentWritersAndReaders)
{
    HKEY root = Create(u"Drivers\\BuiltIn");
    RegCloseKey(root);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                std::u16string path = u"Drivers\\BuiltIn\\Mux" + std::u16string(1, u'0' + t);
                HKEY h = nullptr;
                ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                                         nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                                         nullptr));
                DWORD v = static_cast<DWORD>(t * 1000 + i);
                ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Index", 0, REG_DWORD,
                                                        reinterpret_cast<BYTE*>(&v), 4));
                DWORD back = 0, cb = 4;
                ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(h, u"index", nullptr, nullptr,
                                                          reinterpret_cast<BYTE*>(&back), &cb));
                ASSERT_EQ(v, back);
                ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(h));
            }
        });
    }
    for (auto& th : threads) th.join();
}

}  // namespace
