// The shared tool-view pieces: tool-tip look, queued observer.
#include "HostTestEnv.h"
#include "QueuedJobObserver.h"
#include "ToolTipCtrl.h"

#include <QPushButton>
#include <QToolTip>

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(ToolCommon, ToolTipLook)
{
    EXPECT_EQ(corvane::ColorFromColorRef(0xACF7BB), QColor(0xBB, 0xF7, 0xAC));
    EXPECT_EQ(corvane::FormatToolTip(QStringLiteral("Short"), 200), QStringLiteral("Short"));
    const QString longText =
        QStringLiteral("A rather long tip that will never fit into two hundred pixels on one line <b>");
    const QString shown = corvane::FormatToolTip(longText, 200);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("<table width=\"200\">")));
    EXPECT_TRUE(shown.contains(QStringLiteral("&lt;b&gt;")));  // the text stays text

    QWidget view;
    auto* button = new QPushButton(&view);
    COXToolTipCtrl tips;
    EXPECT_EQ(tips.Create(&view), 1);
    tips.SetMaxTipWidth(200);
    tips.SetTipBkColor(0xACF7BB);
    EXPECT_EQ(tips.AddTool(button, L"Starts the job"), 1);
    EXPECT_EQ(tips.AddTool(nullptr, QStringLiteral("x")), 0);
    EXPECT_EQ(tips.TipText(button), QStringLiteral("Starts the job"));
    EXPECT_EQ(tips.TipBkColor(), QColor(QStringLiteral("#bbf7ac")));
    delete button;  // a control going away is forgotten
    EXPECT_TRUE(tips.TipText(button).isEmpty());
}

TEST(ToolCommon, ObserverQueuesOntoTheUiThreadInOrder)
{
    QueuedJobObserver obs;
    QStringList seen;
    const auto ui = std::this_thread::get_id();
    bool onUi = true;
    auto note = [&](const QString& s) {
        onUi = onUi && std::this_thread::get_id() == ui;
        seen << s;
    };
    QObject::connect(&obs, &QueuedJobObserver::status, [&](const QString& s) { note(QStringLiteral("status:") + s); });
    QObject::connect(&obs, &QueuedJobObserver::progress, [&](int p) { note(QStringLiteral("progress:%1").arg(p)); });
    QObject::connect(&obs, &QueuedJobObserver::phase, [&](const QString& s) { note(QStringLiteral("phase:") + s); });
    QObject::connect(&obs, &QueuedJobObserver::buttonsEnabled,
                     [&](bool b) { note(QStringLiteral("buttons:%1").arg(b)); });
    QObject::connect(&obs, &QueuedJobObserver::finished,
                     [&](bool ok, const QString& e) { note(QStringLiteral("finished:%1:").arg(ok) + e); });

    std::thread job([&] {
        IJobObserver& o = obs;
        o.OnButtonsEnabled(false);
        o.OnPhase("transfer");
        o.OnStatus("Sync with slave, please wait...");
        o.OnProgress(150);
        o.OnProgress(-3);
        o.OnFinished(false, "burn failed");
    });
    job.join();
    EXPECT_TRUE(seen.isEmpty());  // nothing happens on the worker thread
    ASSERT_TRUE(hosttest::WaitFor([&] { return seen.size() == 6; }));
    EXPECT_TRUE(onUi);
    EXPECT_EQ(seen,
              (QStringList{QStringLiteral("buttons:0"), QStringLiteral("phase:transfer"),
                           QStringLiteral("status:Sync with slave, please wait..."), QStringLiteral("progress:100"),
                           QStringLiteral("progress:0"), QStringLiteral("finished:0:burn failed")}));

    // Reports still queued when the observer goes are dropped, not delivered
    // to a dead object.
    auto* gone = new QueuedJobObserver;
    int late = 0;
    QObject::connect(gone, &QueuedJobObserver::progress, [&](int) { ++late; });
    gone->OnProgress(5);
    delete gone;
    hosttest::WaitFor([] { return false; }, 50);
    EXPECT_EQ(late, 0);
}

}  // namespace
