// "ddrconf.txt", the FPGA board's calibration configuration, read whole
// before anything is sent.
#include "DdrConf.h"
#include "smoke.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    download::FpgaConfig cfg;
    std::string error;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (download::parse_fpga_config(text, &cfg, &error) != 1) {
        if (error.empty())
            std::abort();  // a refusal names the line
        return 0;
    }
    for (const auto& w : cfg.writes)
        if (w.line < 1 || size_t(w.line) > size)
            std::abort();  // a write comes from a line of the file
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::string s = "# board A\r\n$address=bfd70000\r\n$clear0=3\n$clear1=1\n$clockdelay0=2\n$dqsdelay1=7\n"
                          "1 bfd70014 1\n2 BFD70018 ffffffff\r\r\n3 0 0\n";
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
