// Helpers of the .xlsx suites: a private scratch folder and fixtures written
// by an independent writer (openpyxl under Debian's own python3).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace xt {

class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/corvane-xlsx-XXXXXX";
        const char* d = mkdtemp(tmpl);
        path_ = d ? d : "/tmp";
    }
    ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Runs a python script with /usr/bin/python3; its exit code.
inline int run_python(const ScratchDir& dir, const std::string& script, std::string* output = nullptr)
{
    std::string py = dir.file("fixture.py");
    std::ofstream(py) << script;
    std::string out = dir.file("fixture.out");
    int rc = std::system(("/usr/bin/python3 '" + py + "' > '" + out + "' 2>&1").c_str());
    if (output) {
        std::ifstream f(out);
        output->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    return rc;
}

inline std::vector<char> slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace xt
