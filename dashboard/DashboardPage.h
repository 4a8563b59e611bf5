// The dashboard's page (page/index.html), built into the program.
#pragma once

#include <cstddef>
#include <string_view>

namespace dashboard {

extern const unsigned char kPage[];
extern const std::size_t kPageSize;

inline std::string_view page() { return {reinterpret_cast<const char*>(kPage), kPageSize}; }

}  // namespace dashboard
