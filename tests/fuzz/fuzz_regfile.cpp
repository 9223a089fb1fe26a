// The .reg loader fed from the fuzzer: the input is the text of a registry
// file. A load either succeeds, and then loading the same text again
// succeeds as well, or fails with a message that names the file and a line.
#include "fuzz_common.h"

#include "platform/devmgr/devmgr.h"
#include "platform/host.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    plat::ClearRegistry();
    std::string error;
    const bool ok = plat::LoadRegText(text, "fuzz.reg", &error);
    if (ok) {
        std::string again;
        FuzzCheck(plat::LoadRegText(text, "fuzz.reg", &again), "a file that loaded once fails the second time");
    } else {
        FuzzCheck(error.rfind("fuzz.reg:", 0) == 0, "a failed load without \"FILE:LINE: what\"");
    }
    plat::ClearRegistry();
    return 0;
}
