// A test tool whose tab title is its own file name without "lib", an
// ordering prefix "NN_" and ".so": one build, copied under many names.
#include "ToolPlugin.h"

#include <QString>
#include <QWidget>

#include <dlfcn.h>

extern "C" int MultiViewDll(void** slot);

class TitleFromFileView : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit TitleFromFileView(QWidget* parent = nullptr) : QWidget(parent)
    {
        Dl_info info{};
        QString name = QStringLiteral("unknown");
        if (dladdr(reinterpret_cast<void*>(&MultiViewDll), &info) && info.dli_fname) {
            name = QString::fromLocal8Bit(info.dli_fname).section(QLatin1Char('/'), -1);
            if (name.startsWith(QLatin1String("lib")))
                name = name.mid(3);
            if (name.endsWith(QLatin1String(".so")))
                name.chop(3);
            if (name.size() > 3 && name[0].isDigit() && name[1].isDigit() && name[2] == QLatin1Char('_'))
                name = name.mid(3);
        }
        setWindowTitle(name);
    }
};

CORVANE_TOOL_PLUGIN(TitleFromFileView)

#include "title_view.moc"
