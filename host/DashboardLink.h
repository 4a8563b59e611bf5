// The line dashboard in the desktop's browser: its address comes from the
// settings ([Dashboard] Url=), by default the dashboard on this machine.
#pragma once

#include <QUrl>

namespace corvane {

inline constexpr const char* kDashboardUrlKey = "Dashboard/Url";
inline constexpr const char* kDashboardDefaultUrl = "http://127.0.0.1:8080/";

// The stored address; an empty or unusable one gives the default. An address
// without a scheme ("line-pc:8080") is taken as http.
QUrl DashboardUrl();

// Opens DashboardUrl() in the desktop's browser; false when none took it.
bool OpenDashboard();

}  // namespace corvane
