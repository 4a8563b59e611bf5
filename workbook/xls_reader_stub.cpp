// Placeholder until the BIFF8 reader lands; replaced by it.
#include "Workbook.h"

namespace wb {
bool read_xls_memory(const void*, size_t, Workbook*, std::string* error)
{
    if (error)
        *error = ".xls files cannot be read by this build";
    return false;
}
}  // namespace wb
