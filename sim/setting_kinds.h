// The kinds of module settings (numbers, flags, DLCI sets, lists, texts,
// tuples and the few keys with their own syntax), from which the table in
// module_settings.cpp is built. Private to the settings.
#ifndef MUX_SIM_SETTING_KINDS_H
#define MUX_SIM_SETTING_KINDS_H

#include "sim/module_settings.h"

#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace sim {
namespace settings {

using Apply = std::function<bool(ModuleSettings&, const std::string&, std::string*)>;
using Show = std::function<std::string(ModuleSettings&)>;

struct Setting {
    const char* key;
    const char* help;
    const char* example;
    Apply apply;
    Show show;  // the value in a default ModuleSettings; null: a list, empty
};

std::vector<std::string> SplitList(const std::string& v, char sep);
std::string Upper(std::string s);
std::string Hex(uint64_t v);
// Numbers separated by `sep`, each within [min, max], exactly `count` of them
// (0: any number, at least one).
bool ParseTuple(const std::string& v, char sep, size_t count, uint64_t min, uint64_t max,
                std::vector<uint64_t>* out, std::string* why);

template <class Acc>
Setting Number(const char* key, const char* help, uint64_t min, uint64_t max, Acc acc,
               bool hex = false)
{
    Apply apply = [acc, min, max](ModuleSettings& s, const std::string& v, std::string* why) {
        uint64_t n = 0;
        if (!ParseSettingNumber(v, min, max, &n, why)) return false;
        auto& field = acc(s);
        field = static_cast<std::remove_reference_t<decltype(field)>>(n);
        return true;
    };
    Show show = [acc, hex](ModuleSettings& s) {
        const uint64_t n = acc(s);
        return hex ? Hex(n) : std::to_string(n);
    };
    return Setting{key, help, "1", std::move(apply), std::move(show)};
}

template <class Acc>
Setting Ms(const char* key, const char* help, Acc acc)
{
    return Number(key, help, 0, 0xFFFFFFFFull, acc);
}

template <class Acc>
Setting Flag(const char* key, const char* help, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string* why) {
        if (v == "true" || v == "1" || v == "yes" || v == "on") return acc(s) = true, true;
        if (v == "false" || v == "0" || v == "no" || v == "off") return acc(s) = false, true;
        *why = "not a boolean (true/false, 1/0, yes/no, on/off)";
        return false;
    };
    Show show = [acc](ModuleSettings& s) { return std::string(acc(s) ? "true" : "false"); };
    return Setting{key, help, "true", std::move(apply), std::move(show)};
}

// A bit set of DLCIs: a plain number is the mask itself, a list with commas
// (or one DLCI followed by ',') names DLCIs.
template <class Acc>
Setting Dlcis(const char* key, const char* help, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string* why) {
        if (v.find(',') == std::string::npos) {
            uint64_t mask = 0;
            if (!ParseSettingNumber(v, 0, UINT64_MAX, &mask, why)) return false;
            acc(s) = mask;
            return true;
        }
        uint64_t set = 0;
        for (const std::string& part : SplitList(v, ',')) {
            if (part.empty()) continue;
            uint64_t d = 0;
            if (!ParseSettingNumber(part, 0, 63, &d, why)) return false;
            set |= uint64_t(1) << d;
        }
        acc(s) = set;
        return true;
    };
    Show show = [acc](ModuleSettings& s) { return Hex(acc(s)); };
    return Setting{key, help, "1,3", std::move(apply), std::move(show)};
}

// A list of octet numbers of the line, added to the set.
template <class Acc>
Setting Indexes(const char* key, const char* help, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string* why) {
        std::vector<uint64_t> n;
        if (!ParseTuple(v, ',', 0, 0, UINT64_MAX, &n, why)) return false;
        acc(s).insert(n.begin(), n.end());
        return true;
    };
    return Setting{key, help, "4,9", std::move(apply), nullptr};
}

// Text with the escapes \r \n \\ for the shell's sake.
template <class Acc>
Setting Text(const char* key, const char* help, const char* example, Acc acc)
{
    Apply apply = [acc](ModuleSettings& s, const std::string& v, std::string*) {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size()) {
                const char c = v[++i];
                out += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
            } else {
                out += v[i];
            }
        }
        acc(s) = out;
        return true;
    };
    Show show = [acc](ModuleSettings& s) {
        std::string out;
        for (char c : acc(s)) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
        return out;
    };
    return Setting{key, help, example, std::move(apply), std::move(show)};
}


// A repeatable tuple "A:B[:C]" (count 1: a list "A,B,...") handed to `add`.
Setting Tuple(const char* key, const char* help, const char* example, size_t count, uint64_t max,
              std::function<void(ModuleSettings&, const std::vector<uint64_t>&)> add,
              std::function<bool(const std::vector<uint64_t>&, std::string*)> check = nullptr);
// "TYPE:N" for a per-control-command-type number.
Setting PerType(const char* key, const char* help, const char* example, uint64_t min, uint64_t max,
                std::map<uint8_t, uint32_t> SerialSettings::*field);
Setting CloseAfterKey();
Setting DataModeKey();
Setting UrcKey();

}  // namespace settings
}  // namespace sim

#endif
