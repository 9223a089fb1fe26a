// The simulated module's settings by name, for command lines ("--module
// KEY=VALUE") and for tests: one table of every key with its parser, its
// default and a line of help. Numbers take C syntax (0x.. allowed) and are
// refused when malformed, negative or out of the key's range; bit sets of
// DLCIs take a mask or a list "1,2,5"; list-valued keys add to what is there.
#ifndef MUX_SIM_MODULE_SETTINGS_H
#define MUX_SIM_MODULE_SETTINGS_H

#include "sim/module.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Sets one key. False with a message naming key and value in *error when
// the key is unknown or the value is refused; the settings are then unchanged.
bool ApplyModuleSetting(ModuleSettings& s, const std::string& key, const std::string& value,
                        std::string* error);
// "KEY=VALUE".
bool ApplyModuleSetting(ModuleSettings& s, const std::string& assignment, std::string* error);

struct SettingHelp {
    std::string key;
    std::string defaultValue;  // empty for list-valued keys
    std::string example;       // a value the key accepts
    std::string help;
};
std::vector<SettingHelp> DescribeModuleSettings();

// The one number parser of the settings: decimal, 0x hex or 0 octal, no sign,
// nothing after the digits, within [min, max]. On refusal *why says why.
bool ParseSettingNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t* out,
                        std::string* why);

}  // namespace sim

#endif
