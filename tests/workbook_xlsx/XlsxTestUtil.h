// Helpers of the .xlsx suites: a private scratch folder and fixtures written
// by an independent writer (openpyxl under Debian's own python3).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ScratchDir.h"

#include <unistd.h>

namespace xt {

class ScratchDir : public testsupport::ScratchDir {
public:
    ScratchDir() : testsupport::ScratchDir("corvane-xlsx") {}
};

using testsupport::run_python;

inline std::vector<char> slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace xt
