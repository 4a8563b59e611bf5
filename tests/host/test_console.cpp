// The console's own rules: trimming, bell, typed characters.
#include "HostTestEnv.h"
#include "KvConsleListBox.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Console, TrimsAFifthAtFourFifths)
{
    CKvConsleListBox c;
    std::string a(CKvConsleListBox::kTrimAt - 1, 'a');
    c.AppendBytes(a.data(), a.size());
    EXPECT_EQ(c.CharacterCount(), CKvConsleListBox::kTrimAt - 1);  // just below: kept whole

    c.AppendBytes("bc", 2);  // reaches 240001: the first 60000 go
    EXPECT_EQ(c.CharacterCount(), CKvConsleListBox::kTrimAt + 1 - CKvConsleListBox::kTrimBy);
    EXPECT_TRUE(c.toPlainText().endsWith(QStringLiteral("abc")));

    // One append larger than the whole limit still ends below the mark, with
    // its newest text kept.
    std::string big;
    while (big.size() < 700000)
        big += std::string(79, 'x') + '\n';
    big += "xxEND";
    c.AppendBytes(big.data(), big.size());
    EXPECT_LT(c.CharacterCount(), CKvConsleListBox::kTrimAt);
    EXPECT_TRUE(c.toPlainText().endsWith(QStringLiteral("xxEND")));

    // Inserted text is trimmed the same way.
    c.InsertText(QString(CKvConsleListBox::kTrimAt, QLatin1Char('i')));
    EXPECT_LT(c.CharacterCount(), CKvConsleListBox::kTrimAt);
}

TEST(Console, ControlBytesAndEncodings)
{
    CKvConsleListBox c;
    int beeps = 0;
    c.SetBeepHook([&] { ++beeps; });
    const char msg[] = "ring\a\r\nnul\0after";  // a counted zero shows nothing
    c.AppendBytes(msg, sizeof(msg) - 1);
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(c.toPlainText(), QStringLiteral("ring\nnulafter"));

    // Backspace on an empty console does nothing harmful.
    CKvConsleListBox e;
    e.AppendBytes("\b\b\bz", 4);
    EXPECT_EQ(e.toPlainText(), QStringLiteral("z"));

    // UTF-8 shows as such; bytes that are not UTF-8 still show one by one.
    CKvConsleListBox u;
    u.AppendBytes("\xc3\xa9t\xc3\xa9\n", 7);
    u.AppendBytes("\xe9t\xe9\n", 4);
    EXPECT_EQ(u.toPlainText(), QStringLiteral("\u00e9t\u00e9\n\u00e9t\u00e9\n"));
}

TEST(Console, TypedCharactersGoToTheStbNotTheText)
{
    CKvConsleListBox c;
    std::vector<int> sent;
    c.SetSendHook([&](uint8_t b) { sent.push_back(b); });
    c.AppendBytes("shown\n", 6);
    c.show();

    QTest::keyClicks(&c, "ls");
    QTest::keyClick(&c, Qt::Key_Return);
    QTest::keyClick(&c, Qt::Key_Backspace);
    QTest::keyClick(&c, Qt::Key_Tab);
    QTest::keyClick(&c, Qt::Key_Down);  // no character: nothing sent
    EXPECT_EQ(sent, (std::vector<int>{'l', 's', 13, 8, 9}));
    EXPECT_EQ(c.toPlainText(), QStringLiteral("shown\n"));

    sent.clear();
    QTest::keyClick(&c, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(c.textCursor().selectedText(), QStringLiteral("shown\u2029"));
    QApplication::clipboard()->clear();
    QTest::keyClick(&c, Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(QApplication::clipboard()->text().startsWith(QStringLiteral("shown")));
    QTest::keyClick(&c, Qt::Key_V, Qt::ControlModifier);  // no paste into the log
    EXPECT_EQ(sent, (std::vector<int>{1, 3, 22}));
    EXPECT_EQ(c.toPlainText(), QStringLiteral("shown\n"));
}

}  // namespace
