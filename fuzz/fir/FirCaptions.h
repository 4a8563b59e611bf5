// The thirteen language box captions the pages start from.
#pragma once

#include "FirFields.h"

#include <string>
#include <vector>

inline const std::vector<std::string>& fuzz_captions()
{
    static const std::vector<std::string> caps = [] {
        std::vector<std::string> c = fir::default_language_captions();
        const auto& extra = fir::extra_language_captions();
        c.insert(c.end(), extra.begin(), extra.end());
        return c;
    }();
    return caps;
}
