// The tools show Chinese texts (the front panel's lists: "IO控制", "正序" ...).
// Each of their characters must come out of an installed font as a real
// glyph; without a CJK font Qt falls back to glyph 0, the empty box.
#include "HostTestEnv.h"
#include "PluginLoader.h"
#include "SerialMonitorService.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGlyphRun>
#include <QLabel>
#include <QTextLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

namespace {

bool HasCjk(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x2E80)
            return true;
    return false;
}

// Whether `font`, with Qt's fallbacks, draws every character of `text`.
bool DrawsAll(const QString& text, const QFont& font)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    for (const QGlyphRun& run : layout.glyphRuns())
        for (quint32 glyph : run.glyphIndexes())
            if (glyph == 0)
                return false;
    return true;
}

TEST(Fonts, ChineseTextsOfTheCustomizationTabHaveGlyphs)
{
    CSerialMonitorSerivce svc;
    kv::set_current_serial_service(&svc);
    void* module = nullptr;  // stays loaded: Qt keeps the view's type data
    const QMetaObject* meta = corvane::PluginTable::Probe(CORVANE_TEST_BIN_DIR "/libfir.so", &module);
    ASSERT_NE(meta, nullptr);
    std::unique_ptr<QWidget> view(qobject_cast<QWidget*>(meta->newInstance(Q_ARG(QWidget*, nullptr))));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->windowTitle(), QStringLiteral("Customization"));

    auto* lbd = view->findChild<QComboBox*>(QStringLiteral("lbdType"));
    ASSERT_NE(lbd, nullptr);
    ASSERT_GE(lbd->findText(QStringLiteral("IO控制")), 0);

    // Every Chinese text of the tab, in lists, labels and buttons.
    QStringList missing;
    int checked = 0;
    auto check = [&](const QString& text, const QFont& font) {
        if (!HasCjk(text))
            return;
        ++checked;
        if (!DrawsAll(text, font))
            missing << text;
    };
    for (QComboBox* c : view->findChildren<QComboBox*>())
        for (int i = 0; i < c->count(); ++i)
            check(c->itemText(i), c->font());
    for (QLabel* l : view->findChildren<QLabel*>())
        check(l->text(), l->font());
    for (QAbstractButton* b : view->findChildren<QAbstractButton*>())
        check(b->text(), b->font());
    EXPECT_GE(checked, 8);
    EXPECT_TRUE(missing.isEmpty()) << "drawn as empty boxes: " << missing.join(QStringLiteral(", ")).toStdString();

    view.reset();
    kv::set_current_serial_service(nullptr);
}

}  // namespace
