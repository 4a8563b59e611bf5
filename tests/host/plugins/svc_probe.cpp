// A test tool that tells in its title whether it sees the host's serial
// service: "svc:yes" when the program's single copy is shared with it.
#include "SerialMonitorService.h"
#include "ToolPlugin.h"

#include <QWidget>

class SvcProbeView : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit SvcProbeView(QWidget* parent = nullptr) : QWidget(parent)
    {
        setWindowTitle(kv::current_serial_service() ? QStringLiteral("svc:yes") : QStringLiteral("svc:no"));
    }
};

CORVANE_TOOL_PLUGIN(SvcProbeView)

#include "svc_probe.moc"
