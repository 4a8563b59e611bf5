// The frame around the tools: looks, about text, time stamp, output pane.
#include "DashboardLink.h"
#include "HostTestEnv.h"
#include "KvConsleListBox.h"
#include "MainFrame.h"
#include "OutputWnd.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// A tool that is busy (its job still runs) and refuses to close.
class BusyView : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit BusyView(QWidget* parent = nullptr) : QWidget(parent)
    {
        setWindowTitle(QStringLiteral("Busy"));
    }
    static bool busy;

protected:
    void closeEvent(QCloseEvent* e) override
    {
        if (busy)
            e->ignore();
        else
            e->accept();
    }
};
bool BusyView::busy = true;

class IdleView : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit IdleView(QWidget* parent = nullptr) : QWidget(parent)
    {
        setWindowTitle(QStringLiteral("Idle"));
    }
};

TEST(MainFrame, BusyToolKeepsTheFrameOpen)
{
    CMainFrame frame;
    frame.OpenTools({{&IdleView::staticMetaObject, QStringLiteral("idle.so")},
                     {&BusyView::staticMetaObject, QStringLiteral("busy.so")}});
    frame.show();
    BusyView::busy = true;
    EXPECT_FALSE(frame.close());
    EXPECT_TRUE(frame.isVisible());
    ASSERT_EQ(frame.MdiArea()->subWindowList().size(), 1);
    EXPECT_EQ(frame.MdiArea()->subWindowList().front()->windowTitle(), QStringLiteral("Busy"));
    BusyView::busy = false;
    EXPECT_TRUE(frame.close());
}

TEST(MainFrame, ApplicationLooksAreDistinctAndRemembered)
{
    QSet<QString> seen;
    {
        CMainFrame frame;
        EXPECT_EQ(frame.ApplicationLook(), corvane::ID_VIEW_APPLOOK_VS_2005);  // the default
        for (int cmd = 210; cmd <= 218; ++cmd) {
            frame.SetApplicationLook(cmd);
            const QString key = QApplication::style()->name() + QLatin1Char('/') +
                                QApplication::palette().color(QPalette::Window).name();
            seen.insert(key);
            EXPECT_EQ(QSettings().value(QStringLiteral("ApplicationLook")).toInt(), cmd);
            // The radio mark follows the look.
            int checked = 0;
            for (QAction* a : frame.findChildren<QAction*>())
                if (a->isCheckable() && a->isChecked() && a->data().toInt() >= 210 && a->data().toInt() <= 218) {
                    ++checked;
                    EXPECT_EQ(a->data().toInt(), cmd);
                }
            EXPECT_EQ(checked, 1);
        }
        frame.SetApplicationLook(216);
    }
    EXPECT_EQ(seen.size(), 9);
    CMainFrame again;
    EXPECT_EQ(again.ApplicationLook(), 216);
    EXPECT_EQ(corvane::LookForCommand(300).windowColor, corvane::LookForCommand(215).windowColor);
    again.SetApplicationLook(214);
}

TEST(MainFrame, AboutAndTitleAndMenus)
{
    EXPECT_EQ(corvane::AboutVersionText(), QStringLiteral("Corvane V") + QStringLiteral(CORVANE_TEST_VERSION));
    CMainFrame frame;
    EXPECT_EQ(frame.windowTitle(), QStringLiteral("Corvane"));
    QStringList menus;
    for (QAction* a : frame.menuBar()->actions())
        menus << a->text().remove(QLatin1Char('&'));
    EXPECT_EQ(menus, (QStringList{QStringLiteral("ViewList"), QStringLiteral("View"), QStringLiteral("Tools"),
                                  QStringLiteral("Help")}));

    COutputWnd* pane = frame.OutputPane();
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->windowTitle(), QStringLiteral("Output"));
    EXPECT_EQ(pane->Tabs()->count(), 1);
    EXPECT_EQ(pane->Tabs()->tabText(0), QStringLiteral("KvConsle"));
    EXPECT_EQ(pane->Tabs()->tabPosition(), QTabWidget::South);
    EXPECT_EQ(frame.dockWidgetArea(pane), Qt::BottomDockWidgetArea);
}

TEST(MainFrame, DashboardEntryTakesItsAddressFromTheSettings)
{
    CMainFrame frame;
    auto* entry = frame.findChild<QAction*>(QStringLiteral("LineDashboard"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->text().remove(QLatin1Char('&')), QStringLiteral("Line dashboard"));

    QSettings settings;
    settings.remove(QStringLiteral("Dashboard"));
    EXPECT_EQ(corvane::DashboardUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/")));
    settings.setValue(QStringLiteral("Dashboard/Url"), QStringLiteral("http://line-pc:9000/?token=abc"));
    EXPECT_EQ(corvane::DashboardUrl(), QUrl(QStringLiteral("http://line-pc:9000/?token=abc")));
    settings.setValue(QStringLiteral("Dashboard/Url"), QStringLiteral("line-pc:9000"));
    EXPECT_EQ(corvane::DashboardUrl(), QUrl(QStringLiteral("http://line-pc:9000")));
    settings.setValue(QStringLiteral("Dashboard/Url"), QStringLiteral("file:///etc/passwd"));
    EXPECT_EQ(corvane::DashboardUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/")));
    settings.remove(QStringLiteral("Dashboard"));
}

TEST(MainFrame, TimeStampEveryFiveMinutes)
{
    CMainFrame frame;
    std::string err;
    ASSERT_EQ(frame.OutputPane()->StartServer({}, &err), 1) << err;
    EXPECT_EQ(frame.TimeStampTimer()->interval(), 300000);
    EXPECT_TRUE(frame.TimeStampTimer()->isActive());

    frame.TimeStamp();
    const QRegularExpression line(QStringLiteral("^-----------Time Stamp\\[\\d\\d:\\d\\d:\\d\\d\\]------------\n$"));
    ASSERT_TRUE(hosttest::WaitFor([&] {
        frame.OutputPane()->DrainAll();
        return line.match(frame.OutputPane()->Console()->toPlainText()).hasMatch();
    })) << frame.OutputPane()->Console()->toPlainText().toStdString();
    QFile f(QString::fromStdString(frame.OutputPane()->Server()->CurrentLogFile()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("]------------\r\n"));
}

}  // namespace

#include "test_main_frame.moc"
