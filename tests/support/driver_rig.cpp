#include "driver_rig.h"

#include "platform/host.h"
#include "sim/frame_record.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

HKEY CreateKey(const std::u16string& path)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    return key;
}

std::u16string Number(int n)
{
    return plat::FromUtf8(std::to_string(n));
}

}  // namespace

DriverRig::DriverRig(uint64_t seed, const sim::ModuleSettings& module) : rig_(seed, module)
{
    plat::ClearRegistry();
    plat::SetDebugSink([](const std::u16string&) {});
    g_dwLastIdleReset = 0;
}

DriverRig::~DriverRig()
{
    for (DWORD_PTR d : live_) MUX_Deinit(d);
    live_.clear();
    plat::SetDebugSink(nullptr);
}

void DriverRig::SetDword(const std::u16string& key, const std::u16string& value, DWORD data)
{
    HKEY k = CreateKey(key);
    EXPECT_EQ(RegSetValueExW(k, value.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                             sizeof(data)),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

void DriverRig::SetString(const std::u16string& key, const std::u16string& value,
                          const std::u16string& data)
{
    HKEY k = CreateKey(key);
    EXPECT_EQ(RegSetValueExW(k, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

std::u16string DriverRig::ActiveKey(int index)
{
    return u"Drivers\\Active\\" + Number(index);
}

void DriverRig::Declare(int index, DWORD dlci, std::optional<DWORD> type, const std::u16string& name)
{
    const std::u16string driverKey = u"Drivers\\BuiltIn\\MUX" + Number(index);
    SetDword(driverKey, u"GSM_0710_DLCI", dlci);
    if (type) SetDword(driverKey, u"GSM_0710_TYPE", *type);
    SetString(ActiveKey(index), u"Key", driverKey);
    SetString(ActiveKey(index), u"Name", name.empty() ? u"MUX" + Number(index) + u":" : name);
}

DWORD_PTR DriverRig::Init(int index)
{
    const std::u16string key = ActiveKey(index);
    DWORD_PTR d = MUX_Init(key.c_str(), nullptr);
    if (d != 0) live_.push_back(d);
    return d;
}

BOOL DriverRig::Deinit(DWORD_PTR d)
{
    live_.erase(std::remove(live_.begin(), live_.end(), d), live_.end());
    return MUX_Deinit(d);
}

void DriverRig::StartThree()
{
    Declare(1, 1, 1u);
    Declare(2, 2, 0u);
    Declare(3, 3, 1u);
    for (int i = 1; i <= 3; i++) {
        device[i] = Init(i);
        ASSERT_NE(device[i], 0u);
    }
    for (int i = 1; i <= 3; i++) {
        open[i] = MUX_Open(device[i], GENERIC_READ | GENERIC_WRITE, 0);
        ASSERT_NE(open[i], 0u) << rig_.Dump();
    }
}

std::vector<std::vector<uint8_t>> HostUihOn(const DispatcherRig& rig, uint8_t dlci)
{
    std::vector<std::vector<uint8_t>> out;
    for (const HostFrame& f : rig.Frames()) {
        sim::DecodedFrame d;
        if (sim::DecodeFrame(f.octets, &d) && d.dlci == dlci && (d.control | 0x10) == 0xFF) {
            out.push_back(d.info);
        }
    }
    return out;
}

size_t HostFramesOn(const DispatcherRig& rig, uint8_t dlci, uint8_t control)
{
    size_t n = 0;
    for (const HostFrame& f : rig.Frames()) {
        if (f.Dlci() == dlci && f.Control() == control) n++;
    }
    return n;
}
