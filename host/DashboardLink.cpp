#include "DashboardLink.h"

#include <QDesktopServices>
#include <QSettings>

namespace corvane {

QUrl DashboardUrl()
{
    const QString stored = QSettings().value(QString::fromLatin1(kDashboardUrlKey)).toString().trimmed();
    const QUrl url = QUrl::fromUserInput(stored);
    if (stored.isEmpty() || !url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return QUrl(QString::fromLatin1(kDashboardDefaultUrl));
    return url;
}

bool OpenDashboard()
{
    return QDesktopServices::openUrl(DashboardUrl());
}

}  // namespace corvane
