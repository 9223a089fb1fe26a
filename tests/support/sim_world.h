// A fresh simulated world per test: virtual clock from 0, one seed.
#ifndef MUX_TESTS_SIM_WORLD_H
#define MUX_TESTS_SIM_WORLD_H

#include "platform/host.h"

#include <cstdint>
#include <string>

class SimWorld {
public:
    explicit SimWorld(uint64_t seed = 1) { plat::BeginSimulation(seed); }
    ~SimWorld() { plat::EndSimulation(); }
    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;
};

// Reads a file written by the driver as UTF-16LE and returns it as UTF-8.
std::string ReadUtf16File(const std::string& hostPath);

// A fresh, empty directory under the system's temporary directory.
std::string MakeTempDir(const std::string& prefix);

#endif
