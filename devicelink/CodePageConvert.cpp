// Text conversion between code pages with iconv.
#include "CodePageConvert.h"

#include <cerrno>
#include <iconv.h>

namespace kv {

// One conversion with a fresh descriptor (iconv descriptors are not shared
// between threads). Returns false at the first sequence that does not convert
// and reports its offset in the input.
bool convert_text(const char* from, const char* to, std::string_view in, std::string& out, size_t* bad_at)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (bad_at)
            *bad_at = 0;
        return false;
    }
    out.clear();
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buf[256];
    bool ok = true;
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    if (ok) {
        char* dst = buf;
        size_t room = sizeof buf;
        iconv(cd, nullptr, nullptr, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
    }
    iconv_close(cd);
    if (!ok && bad_at)
        *bad_at = static_cast<size_t>(src - in.data());
    return ok;
}

}  // namespace kv
