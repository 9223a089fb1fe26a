// The state one soak run shares between its threads: the module, the
// instances' device handles, the clients waiting for events, and what the
// run found.
#ifndef MUX_HOST_SOAK_WORLD_H
#define MUX_HOST_SOAK_WORLD_H

#include "plan.h"
#include "platform/platform.h"
#include "run.h"
#include "sim/module.h"

#include <random>
#include <string>
#include <vector>

namespace soak {

struct World {
    World(const Plan& p, const Bounds& b, sim::SimModule& m);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    const Plan& plan;
    const Bounds& bounds;
    sim::SimModule& module;
    CRITICAL_SECTION lock;
    std::vector<HANDLE> devices;  // per instance; INVALID_HANDLE_VALUE while deactivated
    volatile LONG stop = 0;       // the fault window is over: clients end
    volatile LONG stopWaker = 0;
    // Per client: the handle it waits on in WaitCommEvent, and since when.
    struct Waiter {
        HANDLE handle = INVALID_HANDLE_VALUE;
        uint64_t sinceMs = 0;
    };
    std::vector<Waiter> waiters;
    std::vector<std::string> clientOps;  // per client: the operation it is in
    Result result;

    void Fail(const std::string& what);
    void Note(const std::string& what);
    std::u16string DriverKey(int instance) const;
    std::u16string PortName(int instance) const;
    HANDLE Device(int instance);
    void SetDevice(int instance, HANDLE device);
};

// Octets for the clients' writes, from their own generator.
std::vector<uint8_t> DrawOctets(std::mt19937_64& rng, size_t count);

// clients.cpp: the client threads and the waker that releases their waits
// (by a mask change) while faults may have swallowed the data that should.
HANDLE StartClient(World& w, int id);
HANDLE StartWaker(World& w);
// The operation a client is in ("" when it has ended), for failure lines.
std::string ClientState(World& w, int id);

// checks.cpp: after the faults, every port recovers and works.
void CheckRecovery(World& w);

}  // namespace soak

#endif
