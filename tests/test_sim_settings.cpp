// The simulated module's settings by name: one table, one number parser, and
// every malformed or out-of-range value refused with a message naming it.
#include "sim/module_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Refusal {
    const char* key;
    const char* value;
    const char* why;  // part of the message
};

}  // namespace

TEST(ModuleSettings, ByNameReachBothHalves)
{
    sim::ModuleSettings s;
    std::string err;
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "uaDelayMs=250", &err)) << err;
    EXPECT_EQ(s.serial.uaDelayMs, 250u);
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "rfOkDelayMs", "0x10", &err)) << err;
    EXPECT_EQ(s.lines.rfOkDelayMs, 16u);
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "noUaDlcis", "0,2,", &err));
    EXPECT_EQ(s.serial.noUaDlcis, 0x5u);
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "dmDlcis", "0x8", &err));
    EXPECT_EQ(s.serial.dmDlcis, 0x8u);
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "cmuxReply", "\\r\\nOK\\r\\n", &err));
    EXPECT_EQ(s.serial.cmuxReply, "\r\nOK\r\n");
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "split", "1:3:2000", &err));
    ASSERT_EQ(s.serial.splits.size(), 1u);
    EXPECT_EQ(s.serial.splits[0].gapMs, 2000u);
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "v24ForDlci", "2:0x8D", &err));
    EXPECT_EQ(s.serial.v24ForDlci[2], 0x8D);
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "dropToHost", "4,9", &err));
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "dropToHost", "18446744073709551615", &err)) << err;
    EXPECT_EQ(s.serial.dropToHost.size(), 3u);
    EXPECT_TRUE(sim::ApplyModuleSetting(s, "neverWake", "on", &err));
    EXPECT_TRUE(s.lines.neverWake);
}

TEST(ModuleSettings, RefusesMalformedAndOutOfRangeValuesAndLeavesTheSettings)
{
    const Refusal refusals[] = {
        {"noUaDlcis", "-1", "not a number"},
        {"noUaDlcis", "1,64", "out of range 0..63"},
        {"noUaDlcis", "99999999999999999999", "out of range"},
        {"dropToHost", "99999999999999999999", "out of range"},
        {"dropToHost", "4,,9", "not a number"},
        {"dropToHost", "4,x", "not a number"},
        {"uaDelayMs", "4294967296", "out of range 0..4294967295"},
        {"uaDelayMs", "", "not a number"},
        {"uaDelayMs", " 5", "not a number"},
        {"uaDelayMs", "+5", "not a number"},
        {"uaDelayMs", "5ms", "not a number"},
        {"rfOkDelayMs", "0x", "not a number"},
        {"v24", "0x100", "out of range 0..255"},
        {"corruptXor", "0", "out of range 1..255"},
        {"v24ForDlci", "64:1", "DLCI 64 out of range"},
        {"v24ForDlci", "1:0x1FF", "out of range"},
        {"v24ForDlci", "1", "expected 2 numbers"},
        {"split", "1:2", "expected 3 numbers"},
        {"afterMuxSwitch", "0xF9,256", "out of range 0..255"},
        {"answerCmux", "maybe", "not a boolean"},
        {"atBaud", "0", "out of range"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(std::string(r.key) + "=" + r.value);
        sim::ModuleSettings s;
        std::string err;
        EXPECT_FALSE(sim::ApplyModuleSetting(s, r.key, r.value, &err));
        EXPECT_NE(err.find(r.key), std::string::npos) << err;
        EXPECT_NE(err.find(r.why), std::string::npos) << err;
        // Nothing half applied.
        const sim::ModuleSettings d;
        EXPECT_EQ(s.serial.noUaDlcis, d.serial.noUaDlcis);
        EXPECT_TRUE(s.serial.dropToHost.empty());
        EXPECT_TRUE(s.serial.afterMuxSwitch.empty());
        EXPECT_TRUE(s.serial.v24ForDlci.empty());
        EXPECT_EQ(s.serial.uaDelayMs, d.serial.uaDelayMs);
    }
    sim::ModuleSettings s;
    std::string err;
    EXPECT_FALSE(sim::ApplyModuleSetting(s, "noSuchKnob", "1", &err));
    EXPECT_NE(err.find("unknown module setting 'noSuchKnob'"), std::string::npos) << err;
    EXPECT_FALSE(sim::ApplyModuleSetting(s, "uaDelayMs", &err));
    EXPECT_NE(err.find("KEY=VALUE"), std::string::npos) << err;
}

TEST(ModuleSettings, EveryKeyInTheHelpTakesItsDefaultAndItsExample)
{
    const auto help = sim::DescribeModuleSettings();
    EXPECT_GT(help.size(), 30u);
    for (const sim::SettingHelp& h : help) {
        SCOPED_TRACE(h.key);
        EXPECT_FALSE(h.help.empty());
        std::string err;
        sim::ModuleSettings s;
        EXPECT_TRUE(sim::ApplyModuleSetting(s, h.key, h.example, &err)) << err;
        if (!h.defaultValue.empty()) {
            sim::ModuleSettings t;
            EXPECT_TRUE(sim::ApplyModuleSetting(t, h.key, h.defaultValue, &err)) << err;
        }
    }
}
