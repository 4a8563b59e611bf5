// Test helpers shared by several suites: a private scratch folder that goes
// away with the test, and fixtures written by Debian's python3 modules.
#pragma once

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace testsupport {

class ScratchDir {
public:
    explicit ScratchDir(const char* prefix = "corvane-test")
    {
        std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
        const char* d = mkdtemp(tmpl.data());
        path_ = d ? d : "/tmp";
    }
    ~ScratchDir()
    {
        if (path_ != "/tmp")
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Runs a python script with /usr/bin/python3 (where python3-openpyxl and
// python3-xlwt live); its exit code, and what it printed.
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

}  // namespace testsupport
