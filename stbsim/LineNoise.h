// The random noise of a poor line between the host and the box: what the
// pseudo-terminal carries goes through it in both directions.
#pragma once

#include "StbSim.h"

#include <cstdint>
#include <random>
#include <vector>

namespace stbsim {

enum class LineDirection { ToBox = 0, ToHost = 1 };

class LineNoise {
public:
    explicit LineNoise(const NoiseSpec& spec);
    bool on() const { return m_spec.on(); }
    // The bytes as the other end receives them; the tally counts what the
    // noise did. Each direction draws from a generator of its own, so one
    // direction's traffic does not move the other's noise.
    std::vector<uint8_t> pass(const uint8_t* data, size_t n, LineDirection d, Counters& tally);

private:
    double draw(LineDirection d);  // uniform in [0, 1)
    NoiseSpec m_spec;
    std::mt19937_64 m_rng[2];
};

}  // namespace stbsim
