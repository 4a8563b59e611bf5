#include "TesselReport.h"

#include "KvBasicLog.h"

#include <cstdarg>
#include <cstdio>

namespace tessel {

void Report::show(const char* format, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    m_message = buf;
    m_detail.clear();
    kv_console_printf("%s\n", buf);
}

void Report::detail(const std::string& why)
{
    m_detail = why;
    if (!why.empty())
        kv_console_printf("%s\n", why.c_str());
}

}  // namespace tessel
