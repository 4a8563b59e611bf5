// Placeholder until the .xlsx reader lands; replaced by it.
#include "Workbook.h"

namespace wb {
bool read_xlsx_memory(const void*, size_t, Workbook*, std::string* error)
{
    if (error)
        *error = ".xlsx files cannot be read by this build";
    return false;
}
}  // namespace wb
