// The upgrade-stream reader: packets, PAT, PMT, sections, carousel
// messages and module reassembly, over a stream given as a file.
#include "MemoryFile.h"
#include "OtaGenerators.h"
#include "OtaInspect.h"
#include "smoke.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryFile file(data, size);
    if (!file.path().empty())
        ota::inspect_ota_stream(file.path());
    return 0;
}

// A small DVBS stream, raw and compressed, written by the generator.
std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::vector<std::vector<uint8_t>> seeds;
    std::vector<uint8_t> image(3000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7 + i / 251);
    for (bool compress : {false, true}) {
        char dir[] = "/tmp/ota-seed.XXXXXX";
        if (!::mkdtemp(dir))
            continue;
        const std::string out = std::string(dir) + "/ota.m2t";
        ota::OTA_M2T_Generator m2t;
        ota::OTA_DVBS_Stream_Generator dvbs;
        m2t.set_output_path(out);
        if (ota::generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), uint32_t(image.size()), compress)) {
            if (FILE* f = std::fopen(out.c_str(), "rb")) {
                std::vector<uint8_t> b;
                uint8_t buf[4096];
                for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
                    b.insert(b.end(), buf, buf + n);
                std::fclose(f);
                seeds.push_back(std::move(b));
            }
        }
        std::remove(out.c_str());
        ::rmdir(dir);
    }
    if (seeds.empty())
        seeds.push_back(std::vector<uint8_t>(188, 0x47));
    return seeds;
}
