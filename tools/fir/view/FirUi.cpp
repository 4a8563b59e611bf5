#include "FirUi.h"

#include "BootLink.h"
#include "CodePage.h"
#include "KvBasicLog.h"
#include "ToolCommon.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace firview {

namespace {
QString g_last;
}

void ShowMessage(QWidget* parent, const QString& caption, const QString& text)
{
    g_last = text;
    if (corvane::IsHeadless()) {
        kv_console_printf("%s: %s\n", caption.toUtf8().constData(), text.toUtf8().constData());
        return;
    }
    if (caption == QLatin1String("Success"))
        QMessageBox::information(parent, caption, text);
    else
        QMessageBox::critical(parent, caption, text);
}

void ShowResult(QWidget* parent, const fir::FirResult& res)
{
    if (!res.detail.empty())
        kv_console_printf("%s\n", res.detail.c_str());
    if (!res.message.empty())
        ShowMessage(parent, res.ok ? QStringLiteral("Success") : QStringLiteral("error"),
                    QString::fromStdString(res.message));
}

QString AskOpenPath(QWidget* parent, fir::PageFile kind)
{
    return QFileDialog::getOpenFileName(parent, QString(), QString(), QLatin1String(fir::page_file_filter(kind)));
}

QString AskSavePath(QWidget* parent, fir::PageFile kind)
{
    QFileDialog dlg(parent, QString(), QString(), QLatin1String(fir::page_file_filter(kind)));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix(QLatin1String(fir::page_file_extension(kind)));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().front();
}

void ConnectFileButtons(QWidget* page, QPushButton* load, QPushButton* save, fir::PageFile kind,
                        std::function<void(const QString&)> on_load, std::function<void(const QString&)> on_save)
{
    QObject::connect(load, &QPushButton::clicked, page, [page, kind, on_load] {
        const QString path = AskOpenPath(page, kind);
        if (!path.isEmpty())
            on_load(path);
    });
    QObject::connect(save, &QPushButton::clicked, page, [page, kind, on_save] {
        const QString path = AskSavePath(page, kind);
        if (!path.isEmpty())
            on_save(path);
    });
}

QComboBox* MakeList(QWidget* parent, const char* name, fir::FirList entries)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    for (const std::string& e : fir::list_entries(entries))
        c->addItem(QString::fromStdString(e));
    return c;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    return e;
}

QPushButton* MakeButton(QWidget* parent, const char* text, const char* name)
{
    auto* b = new QPushButton(QString::fromUtf8(text), parent);
    b->setObjectName(QLatin1String(name));
    return b;
}

QString LastMessage() { return g_last; }

void Log(int line, const char* text) { bootlink::log_at("FirDlg", line, "%s", text); }

QString FromBox(const std::string& bytes)
{
    static const kv::CodePage cp = kv::CodePage::from_settings();
    return QString::fromStdString(cp.to_screen(bytes));
}

}  // namespace firview
