// The front-panel tool's "Parse" of a flash image and its "Generate" of the
// image again. The first byte picks the platform; with its top bit the rest
// is the image itself, else two parts that go at 0 and at 64 KiB (after a
// little-endian length of the first), so that small inputs reach both DMHs.
#include "FirImage.h"
#include "FirSeeds.h"
#include "smoke.h"

#include <cstdlib>

namespace {

constexpr size_t kStep = 0x10000;

std::vector<uint8_t> image_of(const uint8_t* data, size_t size)
{
    if (data[0] & 0x80)
        return std::vector<uint8_t>(data + 1, data + size);
    if (size < 3)
        return {};
    size_t low = std::min<size_t>(size_t(data[1] | data[2] << 8), size - 3);
    std::vector<uint8_t> img(data + 3, data + 3 + low);
    img.resize(kStep, 0xFF);
    img.insert(img.end(), data + 3 + low, data + size);
    return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    const auto p = fir::Platform(data[0] % fir::kPlatformCount);
    std::vector<uint8_t> img = image_of(data, size);
    const size_t len = img.size();
    fir::ParsedImage parsed;
    fir::FirResult r = fir::parse_image(p, std::move(img), &parsed);
    if (!r.ok) {
        if (r.message.empty())
            std::abort();  // a refusal says why
        return 0;
    }
    std::vector<uint8_t> out;
    if (fir::generate_image(parsed, parsed.record, &out).ok && out.size() != len)
        std::abort();  // a generated image keeps the image's size
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::vector<std::vector<uint8_t>> seeds;
    for (int k = 0; k < fir::kPlatformCount; ++k) {
        auto [low, high] = firseed::image_parts(fir::Platform(k));
        std::vector<uint8_t> s{uint8_t(k), uint8_t(low.size()), uint8_t(low.size() >> 8)};
        s.insert(s.end(), low.begin(), low.end());
        s.insert(s.end(), high.begin(), high.end());
        seeds.push_back(std::move(s));
    }
    return seeds;
}
