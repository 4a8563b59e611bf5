#include "ToolCommon.h"

#include "KvBasicLog.h"
#include "SerialMonitorService.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>

namespace corvane {

bool IsHeadless()
{
    const QString p = QGuiApplication::platformName();
    return p == QLatin1String("offscreen") || p == QLatin1String("minimal");
}

void ErrorBox(QWidget* parent, const QString& text)
{
    if (IsHeadless()) {
        kv_console_printf("error: %s\n", text.toUtf8().constData());
        return;
    }
    QMessageBox::critical(parent, QStringLiteral("error"), text);
}

void InfoBox(QWidget* parent, const QString& caption, const QString& text)
{
    kv_console_printf("%s\n", text.toUtf8().constData());
    if (!IsHeadless())
        QMessageBox::information(parent, caption, text);
}

CSerialMonitorSerivce* SerialService() { return kv::current_serial_service(); }

}  // namespace corvane
