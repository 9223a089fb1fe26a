// Driver instances against the simulated module: declares instances in the
// registry the way the device manager finds them (an active key with "Key"
// and "Name", a driver key with "GSM_0710_DLCI" and "GSM_0710_TYPE"), calls
// the MUX_ entry points, and removes every instance still alive at the end.
#ifndef MUX_TESTS_DRIVER_RIG_H
#define MUX_TESTS_DRIVER_RIG_H

#include "dispatcher_rig.h"
#include "driver/mux.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DriverRig {
public:
    explicit DriverRig(uint64_t seed, const sim::ModuleSettings& module = DispatcherRig::DefaultModule());
    // MUX_Deinit of every instance still alive, then the dispatcher rig's end.
    ~DriverRig();
    DriverRig(const DriverRig&) = delete;
    DriverRig& operator=(const DriverRig&) = delete;

    DispatcherRig& D() { return rig_; }
    sim::ModuleSerial& Modem() { return rig_.Modem(); }

    // Instance `index`: driver key "Drivers\BuiltIn\MUX<index>", active key
    // "Drivers\Active\<index>", name "MUX<index>:" unless given. A missing
    // type leaves "GSM_0710_TYPE" out.
    static void Declare(int index, DWORD dlci, std::optional<DWORD> type,
                        const std::u16string& name = std::u16string());
    static std::u16string ActiveKey(int index);
    static void SetDword(const std::u16string& key, const std::u16string& value, DWORD data);
    static void SetString(const std::u16string& key, const std::u16string& value,
                          const std::u16string& data);

    // MUX_Init on the instance's active key; a record is remembered for the end.
    DWORD_PTR Init(int index);
    // MUX_Deinit, and forgotten.
    BOOL Deinit(DWORD_PTR device);
    // Declares and starts instances 1 ("MUX1:", DLCI 1, type 1), 2 ("MUX2:",
    // DLCI 2, type 0) and 3 ("MUX3:", DLCI 3, type 1) and opens them all.
    void StartThree();

    static MuxDeviceContext* Ctx(DWORD_PTR device) { return reinterpret_cast<MuxDeviceContext*>(device); }

    DWORD_PTR device[4] = {};  // by index, from StartThree
    DWORD_PTR open[4] = {};

private:
    DispatcherRig rig_;
    std::vector<DWORD_PTR> live_;
};

// Information fields of the host's UIH frames on a DLCI, in order.
std::vector<std::vector<uint8_t>> HostUihOn(const DispatcherRig& rig, uint8_t dlci);
// Host frames on a DLCI with the given control octet.
size_t HostFramesOn(const DispatcherRig& rig, uint8_t dlci, uint8_t control);

#endif
