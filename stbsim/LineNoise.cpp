#include "LineNoise.h"

#include "Text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace stbsim {

namespace {

constexpr int kBurstMax = 32;

bool parse_probability(const std::string& text, double* out)
{
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || errno || !std::isfinite(v) || v < 0 || v > 1)
        return false;
    *out = v;
    return true;
}

bool parse_seed(const std::string& text, uint64_t* out)
{
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end || errno)
        return false;
    *out = v;
    return true;
}

}  // namespace

bool parse_noise(const std::string& text, NoiseSpec* out, std::string* error)
{
    NoiseSpec s;
    bool have_p = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = kv::trimmed(text.substr(pos, comma - pos));
        pos = comma + 1;
        const size_t eq = item.find('=');
        const std::string key = eq == std::string::npos ? item : item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        bool ok = false;
        if (key == "p")
            ok = have_p = parse_probability(value, &s.p);
        else if (key == "burst")
            ok = parse_probability(value, &s.burst);
        else if (key == "seed")
            ok = parse_seed(value, &s.seed);
        if (!ok) {
            if (error)
                *error = "noise \"" + text + "\": \"" + item + "\" is not p=P, burst=B (0 to 1) or seed=S";
            return false;
        }
    }
    if (!have_p) {
        if (error)
            *error = "noise \"" + text + "\": p=P is missing";
        return false;
    }
    *out = s;
    return true;
}

LineNoise::LineNoise(const NoiseSpec& spec) : m_spec(spec)
{
    m_rng[0].seed(spec.seed * 2 + 1);
    m_rng[1].seed(spec.seed * 2 + 2);
}

double LineNoise::draw(LineDirection d)
{
    // The top 53 bits as a fraction: the same on every standard library.
    return double(m_rng[int(d)]() >> 11) * 0x1.0p-53;
}

std::vector<uint8_t> LineNoise::pass(const uint8_t* data, size_t n, LineDirection d, Counters& tally)
{
    std::vector<uint8_t> out;
    out.reserve(n + n / 8 + 1);
    const double burst = m_spec.burst_p();
    for (size_t i = 0; i < n; ++i) {
        if (burst > 0 && draw(d) < burst) {
            const int len = 1 + int(m_rng[int(d)]() % kBurstMax);
            for (int k = 0; k < len; ++k)
                out.push_back(uint8_t(m_rng[int(d)]()));
            ++tally.noise_bursts;
        }
        const uint8_t b = data[i];
        if (m_spec.p <= 0 || draw(d) >= m_spec.p) {
            out.push_back(b);
            continue;
        }
        switch (m_rng[int(d)]() % 3) {
        case 0: ++tally.noise_dropped; break;
        case 1:
            out.push_back(uint8_t(b ^ (1u << (m_rng[int(d)]() % 8))));
            ++tally.noise_flipped;
            break;
        default:
            out.push_back(b);
            out.push_back(b);
            ++tally.noise_doubled;
        }
    }
    return out;
}

}  // namespace stbsim
