// Plug-in discovery and the tabs and menu it gives, with the test plug-ins
// built by this suite (see CMakeLists.txt for the folders).
#include "HostTestEnv.h"
#include "MainFrame.h"
#include "PluginLoader.h"
#include "SerialMonitorService.h"

#include <QAction>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

std::string Folder(const char* scenario) { return std::string(HOST_TEST_PLUGIN_DIR) + "/" + scenario; }

std::vector<corvane::ToolTemplate> Templates(const corvane::PluginTable& t)
{
    std::vector<corvane::ToolTemplate> out;
    for (size_t i = 0; i < t.size(); ++i)
        out.push_back({t.at(i).view_class, QString::fromStdString(t.at(i).path)});
    return out;
}

QStringList MenuTexts(QMenu* m, std::vector<bool>* enabled = nullptr)
{
    QStringList texts;
    for (QAction* a : m->actions()) {
        texts << a->text();
        if (enabled)
            enabled->push_back(a->isEnabled());
    }
    return texts;
}

bool StillLoaded(const std::string& path)
{
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h)
        ::dlclose(h);
    return h != nullptr;
}

TEST(PluginDiscovery, OutsideLibrariesOnlyGiveNoTabsAndAreUnloaded)
{
    corvane::PluginTable table;
    std::vector<corvane::PluginProbe> probes;
    EXPECT_EQ(table.Discover(Folder("outside"), &probes), 0);
    ASSERT_EQ(probes.size(), 3u);
    for (const auto& p : probes) {
        EXPECT_TRUE(p.loaded) << p.path << p.error;
        EXPECT_FALSE(p.is_plugin) << p.path;
        EXPECT_FALSE(StillLoaded(p.path)) << p.path;
    }
    // libempty.so has the export but leaves the slot empty.
    EXPECT_TRUE(probes[0].has_export);
    EXPECT_FALSE(probes[1].has_export);

    CMainFrame frame;
    EXPECT_EQ(frame.OpenTools(Templates(table)), 0);
    EXPECT_TRUE(frame.MdiArea()->subWindowList().isEmpty());
    EXPECT_EQ(frame.MdiArea()->activeSubWindow(), nullptr);
    frame.RebuildViewList();
    EXPECT_EQ(MenuTexts(frame.ViewListMenu()), QStringList{QStringLiteral("Exit")});
    EXPECT_EQ(frame.windowTitle(), QStringLiteral("Corvane"));
}

TEST(PluginDiscovery, EmptyOrMissingFolder)
{
    corvane::PluginTable a, b;
    EXPECT_EQ(a.Discover(Folder("none")), 0);
    EXPECT_EQ(b.Discover(Folder("no-such-folder")), 0);
    CMainFrame frame;
    frame.OpenTools({});
    frame.RebuildViewList();
    EXPECT_EQ(MenuTexts(frame.ViewListMenu()), QStringList{QStringLiteral("Exit")});
}

TEST(PluginDiscovery, ToolsInNameOrderWithComConnectionAsStartTab)
{
    // The probe tool reports whether it shares the program's serial service.
    CSerialMonitorSerivce svc;
    kv::set_current_serial_service(&svc);

    corvane::PluginTable table;
    std::vector<corvane::PluginProbe> probes;
    ASSERT_EQ(table.Discover(Folder("mixed"), &probes), 4);
    EXPECT_EQ(probes.size(), 6u);
    EXPECT_EQ(table.Discover(Folder("mixed")), 4);  // loaded once only
    for (size_t i = 0; i < table.size(); ++i)
        EXPECT_TRUE(StillLoaded(table.at(i).path));
    EXPECT_FALSE(StillLoaded(Folder("mixed") + "/lib04_plain.so"));
    EXPECT_FALSE(StillLoaded(Folder("mixed") + "/lib05_empty.so"));

    {
        CMainFrame frame;
        frame.show();
        EXPECT_EQ(frame.OpenTools(Templates(table)), 4);
        EXPECT_EQ(frame.TabTitles(), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Com_Connection"),
                                                  QStringLiteral("Beta"), QStringLiteral("svc:yes")}));
        EXPECT_EQ(frame.StartTabId(), corvane::ID_TOOL_FIRST + 1);
        ASSERT_NE(frame.MdiArea()->activeSubWindow(), nullptr);
        EXPECT_EQ(frame.MdiArea()->activeSubWindow()->windowTitle(), QStringLiteral("Com_Connection"));
        EXPECT_EQ(frame.windowTitle(), QStringLiteral("Corvane - Com_Connection"));

        // Last tab first, "Exit" last.
        frame.RebuildViewList();
        EXPECT_EQ(MenuTexts(frame.ViewListMenu()),
                  (QStringList{QStringLiteral("svc:yes"), QStringLiteral("Beta"), QStringLiteral("Com_Connection"),
                               QStringLiteral("Alpha"), QStringLiteral("Exit")}));

        // A closed tab comes back as a fresh view from the menu.
        QPointer<QWidget> beta = frame.ToolView(2);
        ASSERT_TRUE(beta);
        beta->parentWidget()->close();
        EXPECT_TRUE(hosttest::WaitFor([&] { return beta.isNull(); }));
        EXPECT_EQ(frame.ToolView(2), nullptr);
        frame.ViewListMenu()->actions().at(1)->trigger();
        ASSERT_NE(frame.ToolView(2), nullptr);
        EXPECT_EQ(frame.MdiArea()->activeSubWindow()->windowTitle(), QStringLiteral("Beta"));
        EXPECT_EQ(frame.LastToolCommand(), corvane::ID_TOOL_FIRST + 2);
        EXPECT_EQ(frame.MdiArea()->subWindowList().size(), 4);
    }
    kv::set_current_serial_service(nullptr);
}

TEST(PluginDiscovery, OnlySixteenToolsReachableFromTheMenu)
{
    corvane::PluginTable table;
    ASSERT_EQ(table.Discover(Folder("many")), 17);
    CMainFrame frame;
    EXPECT_EQ(frame.OpenTools(Templates(table)), 17);
    frame.show();  // as at start-up: tabs first, then the frame shows
    EXPECT_EQ(frame.StartTabId(), corvane::ID_TOOL_FIRST);  // no Com_Connection: the first tab
    ASSERT_NE(frame.MdiArea()->activeSubWindow(), nullptr);
    EXPECT_EQ(frame.MdiArea()->activeSubWindow()->windowTitle(), QStringLiteral("t01"));

    frame.RebuildViewList();
    std::vector<bool> enabled;
    const QStringList texts = MenuTexts(frame.ViewListMenu(), &enabled);
    ASSERT_EQ(texts.size(), 18);
    EXPECT_EQ(texts.front(), QStringLiteral("t17"));
    EXPECT_FALSE(enabled.front());  // the 17th tool's command has no handler
    EXPECT_EQ(texts.at(1), QStringLiteral("t16"));
    EXPECT_TRUE(enabled.at(1));
    EXPECT_EQ(texts.back(), QStringLiteral("Exit"));

    EXPECT_TRUE(frame.OnToolCommand(corvane::ID_TOOL_LAST));
    EXPECT_EQ(frame.MdiArea()->activeSubWindow()->windowTitle(), QStringLiteral("t16"));
    EXPECT_FALSE(frame.OnToolCommand(corvane::ID_TOOL_LAST + 1));
    EXPECT_EQ(frame.MdiArea()->activeSubWindow()->windowTitle(), QStringLiteral("t16"));
}

}  // namespace
