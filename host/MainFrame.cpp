#include "MainFrame.h"

#include "DashboardLink.h"
#include "KvBasicLog.h"
#include "KvConsleListBox.h"
#include "OutputWnd.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>
#include <QStyleFactory>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>

#include <ctime>
#include <string>

#ifndef CORVANE_VERSION_MAJOR
#define CORVANE_VERSION_MAJOR 1
#endif
#ifndef CORVANE_VERSION_MINOR
#define CORVANE_VERSION_MINOR 0
#endif

namespace corvane {

const std::vector<AppLook>& ApplicationLooks()
{
    static const std::vector<AppLook> looks = {
        {ID_VIEW_APPLOOK_WIN_2000, "Windows 2000", "Windows", QStringLiteral("#d4d0c8")},
        {ID_VIEW_APPLOOK_OFF_XP, "Office XP", "Fusion", QStringLiteral("#f2f0ea")},
        {ID_VIEW_APPLOOK_WIN_XP, "Windows XP", "Windows", QStringLiteral("#ece9d8")},
        {ID_VIEW_APPLOOK_OFF_2003, "Office 2003", "Fusion", QStringLiteral("#c4daf6")},
        {ID_VIEW_APPLOOK_VS_2005, "Visual Studio 2005", "Fusion", QStringLiteral("#efeee6")},
        {ID_VIEW_APPLOOK_OFF_2007_BLUE, "Office 2007 (Blue Style)", "Fusion", QStringLiteral("#bfd7f2")},
        {ID_VIEW_APPLOOK_OFF_2007_BLACK, "Office 2007 (Black Style)", "Fusion", QStringLiteral("#3c3c3c")},
        {ID_VIEW_APPLOOK_OFF_2007_SILVER, "Office 2007 (Silver Style)", "Fusion", QStringLiteral("#d6dae1")},
        {ID_VIEW_APPLOOK_OFF_2007_AQUA, "Office 2007 (Aqua Style)", "Fusion", QStringLiteral("#c9dfe4")},
    };
    return looks;
}

AppLook LookForCommand(int command)
{
    for (const auto& l : ApplicationLooks())
        if (l.command == command)
            return l;
    AppLook other = ApplicationLooks()[ID_VIEW_APPLOOK_OFF_2007_BLUE - ID_VIEW_APPLOOK_WIN_2000];
    other.command = command;
    other.name = "Office 2007";
    return other;
}

QString AboutVersionText()
{
    return QStringLiteral("Corvane V%1.%2").arg(CORVANE_VERSION_MAJOR).arg(CORVANE_VERSION_MINOR);
}

}  // namespace corvane

using namespace corvane;

namespace {

QPalette paletteFor(const AppLook& look)
{
    const QColor window(look.windowColor);
    QPalette pal(window, window);
    const bool dark = window.lightness() < 110;
    const QColor text = dark ? QColor(0xf0, 0xf0, 0xf0) : QColor(Qt::black);
    pal.setColor(QPalette::WindowText, text);
    pal.setColor(QPalette::ButtonText, text);
    pal.setColor(QPalette::Text, dark ? text : QColor(Qt::black));
    pal.setColor(QPalette::Base, dark ? QColor(0x25, 0x25, 0x25) : QColor(Qt::white));
    pal.setColor(QPalette::AlternateBase, dark ? QColor(0x30, 0x30, 0x30) : window.lighter(108));
    pal.setColor(QPalette::Highlight, dark ? QColor(0x5a, 0x7f, 0xb5) : QColor(0x31, 0x6a, 0xc5));
    pal.setColor(QPalette::HighlightedText, Qt::white);
    pal.setColor(QPalette::ToolTipBase, QColor(0xbb, 0xf7, 0xac));
    pal.setColor(QPalette::ToolTipText, Qt::black);
    return pal;
}

}  // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("MainFrame"));
    setWindowTitle(QString::fromLatin1(kAppTitle));
    resize(1100, 760);

    // 1. The stored look.
    QSettings settings;
    SetApplicationLook(settings.value(QStringLiteral("ApplicationLook"), int(ID_VIEW_APPLOOK_VS_2005)).toInt());

    // 2. Tabbed documents.
    m_mdi = new QMdiArea(this);
    m_mdi->setObjectName(QStringLiteral("MdiArea"));
    m_mdi->setViewMode(QMdiArea::TabbedView);
    m_mdi->setDocumentMode(true);
    m_mdi->setTabsClosable(true);
    m_mdi->setTabsMovable(true);
    m_mdi->setTabShape(QTabWidget::Rounded);
    setCentralWidget(m_mdi);
    if (auto* tabs = m_mdi->findChild<QTabBar*>()) {
        tabs->setExpanding(false);
        tabs->setElideMode(Qt::ElideRight);
    }
    connect(m_mdi, &QMdiArea::subWindowActivated, this, [this] {
        updateTitle();
        // The close button shows on the active tab only.
        if (auto* tabs = m_mdi->findChild<QTabBar*>())
            for (int i = 0; i < tabs->count(); ++i)
                if (QWidget* b = tabs->tabButton(i, QTabBar::RightSide))
                    b->setVisible(i == tabs->currentIndex());
    });

    // 3./4. Menus, docking, the output pane.
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks | QMainWindow::AllowNestedDocks);
    m_output = new COutputWnd(this);
    addDockWidget(Qt::BottomDockWidgetArea, m_output);
    resizeDocks({m_output}, {220}, Qt::Vertical);
    buildMenus();
    statusBar()->showMessage(QStringLiteral("Ready"));

    // 6. The time stamp every five minutes.
    m_stampTimer = new QTimer(this);
    m_stampTimer->setInterval(kTimeStampPeriodMs);
    connect(m_stampTimer, &QTimer::timeout, this, &CMainFrame::TimeStamp);
    m_stampTimer->start();
}

CMainFrame::~CMainFrame()
{
    // Views go before the pane's server stops, so their last lines still land.
    for (auto& t : m_templates)
        delete t.window.data();
}

void CMainFrame::buildMenus()
{
    QMenuBar* bar = menuBar();

    m_viewList = bar->addMenu(QStringLiteral("ViewList"));
    m_viewList->setObjectName(QStringLiteral("ViewList"));
    connect(m_viewList, &QMenu::aboutToShow, this, &CMainFrame::RebuildViewList);
    RebuildViewList();

    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    QAction* outputToggle = m_output->toggleViewAction();
    outputToggle->setText(QStringLiteral("&Output"));
    view->addAction(outputToggle);
    QMenu* looks = view->addMenu(QStringLiteral("&Application Look"));
    m_lookGroup = new QActionGroup(this);
    m_lookGroup->setExclusive(true);
    for (const auto& l : ApplicationLooks()) {
        QAction* a = looks->addAction(QString::fromLatin1(l.name));
        a->setCheckable(true);
        a->setData(l.command);
        a->setChecked(l.command == m_look);
        m_lookGroup->addAction(a);
        const int cmd = l.command;
        connect(a, &QAction::triggered, this, [this, cmd] { SetApplicationLook(cmd); });
    }

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    QAction* dashboard = tools->addAction(QStringLiteral("Line &dashboard"));
    dashboard->setObjectName(QStringLiteral("LineDashboard"));
    dashboard->setStatusTip(QStringLiteral("Open the line dashboard in the browser"));
    connect(dashboard, &QAction::triggered, this, [this] {
        if (!OpenDashboard())
            statusBar()->showMessage(QStringLiteral("No browser opened ") + DashboardUrl().toString(), 10000);
    });

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    QAction* about = help->addAction(QStringLiteral("&About Corvane..."));
    about->setData(int(ID_APP_ABOUT));
    connect(about, &QAction::triggered, this, &CMainFrame::ShowAbout);
}

void CMainFrame::RebuildViewList()
{
    m_viewList->clear();
    // Walking the titles from the head and inserting each at the same place
    // leaves the last tab at the top and "Exit" at the bottom.
    for (int i = int(m_titles.size()) - 1; i >= 0; --i) {
        const int id = ID_TOOL_FIRST + i;
        QAction* a = m_viewList->addAction(m_titles[i]);
        a->setData(id);
        if (id > ID_TOOL_LAST) {
            a->setEnabled(false);  // no handler serves commands past the 16th tool
            continue;
        }
        connect(a, &QAction::triggered, this, [this, id] { OnToolCommand(id); });
    }
    QAction* exitAction = m_viewList->addAction(QStringLiteral("Exit"));
    exitAction->setData(int(ID_APP_EXIT));
    connect(exitAction, &QAction::triggered, this, &QWidget::close);
}

QMdiSubWindow* CMainFrame::openView(int index)
{
    Template& t = m_templates.at(size_t(index));
    QObject* obj = t.tool.view_class->newInstance(Q_ARG(QWidget*, nullptr));
    auto* view = qobject_cast<QWidget*>(obj);
    if (!view) {
        delete obj;
        return nullptr;
    }
    auto* sub = new QMdiSubWindow;
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWidget(view);
    QString title = view->windowTitle();
    if (title.isEmpty())
        title = QFileInfo(t.tool.path).completeBaseName();
    sub->setWindowTitle(title);
    connect(view, &QWidget::windowTitleChanged, sub, [sub](const QString& s) {
        if (!s.isEmpty())
            sub->setWindowTitle(s);
    });
    m_mdi->addSubWindow(sub);
    sub->showMaximized();
    t.window = sub;
    return sub;
}

int CMainFrame::OpenTools(const std::vector<ToolTemplate>& templates)
{
    int opened = 0;
    bool haveStart = false;
    for (const auto& tool : templates) {
        if (!tool.view_class)
            continue;
        m_templates.push_back({tool, {}});
        const int index = int(m_templates.size()) - 1;
        QMdiSubWindow* sub = openView(index);
        if (!sub) {
            kv_console_printf("%s: the tool view cannot be created\n", tool.path.toUtf8().constData());
            m_templates.pop_back();
            continue;
        }
        const QString title = sub->windowTitle();
        m_titles.append(title);
        if (title == QLatin1String("Com_Connection") && !haveStart) {
            m_startTab = ID_TOOL_FIRST + index;
            haveStart = true;
        }
        ++opened;
    }
    RebuildViewList();
    if (!m_templates.empty()) {
        // Activated as if chosen from the menu, even past the 16th tool.
        const int index = m_startTab - ID_TOOL_FIRST;
        m_lastToolCommand = m_startTab;
        if (QMdiSubWindow* w = liveWindow(index))
            activate(w);
    }
    updateTitle();
    return opened;
}

bool CMainFrame::OnToolCommand(int id)
{
    const int index = id - ID_TOOL_FIRST;
    if (id < ID_TOOL_FIRST || id > ID_TOOL_LAST || index >= int(m_templates.size()))
        return false;
    m_lastToolCommand = id;
    QMdiSubWindow* w = liveWindow(index);
    if (!w)
        w = openView(index);  // its tab was closed: a fresh view
    if (!w)
        return false;
    activate(w);
    if (w->widget())
        w->widget()->setFocus();
    return true;
}

QMdiSubWindow* CMainFrame::liveWindow(int index) const
{
    QMdiSubWindow* w = m_templates.at(size_t(index)).window;
    // A tab being closed has left the area already, before it is deleted.
    if (w && !m_mdi->subWindowList().contains(w))
        return nullptr;
    return w;
}

void CMainFrame::activate(QMdiSubWindow* w)
{
    if (!isVisible())
        m_pendingActivation = w;  // the area activates only what it shows
    m_mdi->setActiveSubWindow(w);
    updateTitle();
}

void CMainFrame::closeEvent(QCloseEvent* e)
{
    m_mdi->closeAllSubWindows();  // a closed tab leaves the list at once
    if (!m_mdi->subWindowList().isEmpty()) {
        e->ignore();
        statusBar()->showMessage(QStringLiteral("A tool is still busy; it has to finish or be stopped first."), 10000);
        return;
    }
    QMainWindow::closeEvent(e);
}

void CMainFrame::showEvent(QShowEvent* e)
{
    QMainWindow::showEvent(e);
    if (QMdiSubWindow* w = m_pendingActivation) {
        m_pendingActivation = nullptr;
        if (m_mdi->subWindowList().contains(w))
            m_mdi->setActiveSubWindow(w);
        updateTitle();
    }
}

QWidget* CMainFrame::ToolView(int index) const
{
    if (index < 0 || index >= int(m_templates.size()))
        return nullptr;
    QMdiSubWindow* w = liveWindow(index);
    return w ? w->widget() : nullptr;
}

void CMainFrame::updateTitle()
{
    QMdiSubWindow* w = m_mdi ? m_mdi->activeSubWindow() : nullptr;
    if (w && !w->windowTitle().isEmpty())
        setWindowTitle(QString::fromLatin1(kAppTitle) + QStringLiteral(" - ") + w->windowTitle());
    else
        setWindowTitle(QString::fromLatin1(kAppTitle));
}

void CMainFrame::SetApplicationLook(int command)
{
    const AppLook look = LookForCommand(command);
    m_look = command;
    if (QStyle* style = QStyleFactory::create(QString::fromLatin1(look.style)))
        QApplication::setStyle(style);
    QApplication::setPalette(paletteFor(look));
    if (m_lookGroup)
        for (QAction* a : m_lookGroup->actions())
            a->setChecked(a->data().toInt() == command);
    QSettings().setValue(QStringLiteral("ApplicationLook"), command);
    update();
}

void CMainFrame::TimeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char hms[16];
    std::strftime(hms, sizeof(hms), "%H:%M:%S", &tm);
    const std::string line = std::string("-----------Time Stamp[") + hms + "]------------\n";
    kv_console_printf("%s", line.c_str());
}

void CMainFrame::ShowAbout()
{
    QDialog dlg(this);
    dlg.setWindowTitle(QStringLiteral("About CORVANE"));
    auto* layout = new QVBoxLayout(&dlg);
    auto* version = new QLabel(AboutVersionText(), &dlg);
    version->setObjectName(QStringLiteral("1000"));
    layout->addWidget(version);
    layout->addWidget(new QLabel(QStringLiteral("Set-top box development and production workbench"), &dlg));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dlg);
    connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
    layout->addWidget(buttons);
    dlg.exec();
}

void CMainFrame::RaiseToFront()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}
