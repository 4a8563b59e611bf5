// The main frame: tabbed tool views, the "ViewList" menu, the application
// looks, the "Output" pane and the five-minute time stamp.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <vector>

class QActionGroup;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QTimer;
class COutputWnd;

namespace corvane {

// Command identifiers of the frame.
enum : int {
    ID_APP_ABOUT = 32773,
    ID_APP_EXIT = 32777,
    ID_DYNAMIC_COMMANDS = 40000,
    ID_TOOL_FIRST = 57685,  // the tool tabs, in template order
    ID_TOOL_LAST = 57700,  // only 16 tools can be reached from the menu
    ID_VIEW_APPLOOK_WIN_2000 = 210,
    ID_VIEW_APPLOOK_OFF_XP = 211,
    ID_VIEW_APPLOOK_WIN_XP = 212,
    ID_VIEW_APPLOOK_OFF_2003 = 213,
    ID_VIEW_APPLOOK_VS_2005 = 214,
    ID_VIEW_APPLOOK_OFF_2007_BLUE = 215,
    ID_VIEW_APPLOOK_OFF_2007_BLACK = 216,
    ID_VIEW_APPLOOK_OFF_2007_SILVER = 217,
    ID_VIEW_APPLOOK_OFF_2007_AQUA = 218,
};

inline constexpr int kTimeStampPeriodMs = 300000;
inline constexpr const char* kAppTitle = "Corvane";

// One tool view class and the library it came from.
struct ToolTemplate {
    const QMetaObject* view_class = nullptr;
    QString path;
};

// The looks: a Qt style and a palette per command.
struct AppLook {
    int command;
    const char* name;
    const char* style;
    QString windowColor;  // "#rrggbb"
};
const std::vector<AppLook>& ApplicationLooks();
// The look a command stands for (unknown commands: Office 2007).
AppLook LookForCommand(int command);

// "Corvane V1.0": the program's own version.
QString AboutVersionText();

}  // namespace corvane

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Opens one tab per template, in order, and activates the start tab:
    // the one titled "Com_Connection", else the first. Returns the tabs opened.
    int OpenTools(const std::vector<corvane::ToolTemplate>& templates);

    // A tool command (57685 and up): shows that tool's tab, opening a fresh
    // view if its tab was closed. False for a command no handler serves.
    bool OnToolCommand(int id);
    // Rebuilds the "ViewList" menu: last tab first, "Exit" last.
    void RebuildViewList();

    QStringList TabTitles() const { return m_titles; }
    int StartTabId() const { return m_startTab; }
    int LastToolCommand() const { return m_lastToolCommand; }
    QMenu* ViewListMenu() const { return m_viewList; }
    QMdiArea* MdiArea() const { return m_mdi; }
    COutputWnd* OutputPane() const { return m_output; }
    QWidget* ToolView(int index) const;  // the open view of a template, or null

    int ApplicationLook() const { return m_look; }
    void SetApplicationLook(int command);  // applies, stores "ApplicationLook"

    // Writes the time-stamp line now (the timer does it every five minutes).
    void TimeStamp();
    QTimer* TimeStampTimer() const { return m_stampTimer; }

    void ShowAbout();
    // Brings the window to the front (asked by a second start).
    void RaiseToFront();

protected:
    void showEvent(QShowEvent* e) override;
    // The tabs are asked to close first; a tool that refuses (a job still
    // runs on the box) keeps the frame open.
    void closeEvent(QCloseEvent* e) override;

private:
    QMdiSubWindow* openView(int index);
    QMdiSubWindow* liveWindow(int index) const;
    void activate(QMdiSubWindow* w);
    void updateTitle();
    void buildMenus();

    struct Template {
        corvane::ToolTemplate tool;
        QPointer<QMdiSubWindow> window;
    };
    std::vector<Template> m_templates;
    QStringList m_titles;
    int m_startTab = corvane::ID_TOOL_FIRST;
    int m_lastToolCommand = 0;
    int m_look = corvane::ID_VIEW_APPLOOK_VS_2005;
    QPointer<QMdiSubWindow> m_pendingActivation;  // activated once the frame shows

    QMdiArea* m_mdi = nullptr;
    COutputWnd* m_output = nullptr;
    QMenu* m_viewList = nullptr;
    QActionGroup* m_lookGroup = nullptr;
    QTimer* m_stampTimer = nullptr;
};
