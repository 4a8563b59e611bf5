#include "KeyMapDlg.h"

#include "FirUi.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

using namespace fir;
using firview::MakeButton;

namespace {

constexpr int kFpKeyColumn = 1;
constexpr int kIr1KeyColumn = 1;
constexpr int kIr2KeyColumn = 3;
constexpr uint32_t kNoKey = 0xFFFFFFFFu;  // an empty key cell

QTableWidget* make_list(QWidget* parent, const char* name, const QStringList& headers)
{
    auto* t = new QTableWidget(0, static_cast<int>(headers.size()), parent);
    t->setObjectName(QLatin1String(name));
    t->setHorizontalHeaderLabels(headers);
    t->verticalHeader()->setVisible(false);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->setEditTriggers(QAbstractItemView::DoubleClicked);
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

QString header(QTableWidget* list, int column) { return list->horizontalHeaderItem(column)->text(); }

}  // namespace

KeyMapDlg::KeyMapDlg(KeyAcquisitionFlags* flags, QWidget* parent) : QWidget(parent), m_flags(flags)
{
    auto* outer = new QVBoxLayout(this);
    auto* title = new QLabel(QStringLiteral("Key Map"), this);
    outer->addWidget(title);

    auto* top = new QHBoxLayout;
    m_getKey = MakeButton(this, "Start Get Key", "getKey");
    top->addWidget(m_getKey);
    top->addWidget(new QLabel(QStringLiteral("Key Value in:"), this));
    m_base = new QComboBox(this);
    m_base->setObjectName(QStringLiteral("keyBase"));
    m_base->addItems({QStringLiteral("10进制"), QStringLiteral("16进制")});
    top->addWidget(m_base);
    top->addStretch();
    outer->addLayout(top);

    auto* lists = new QHBoxLayout;
    m_fpList = make_list(this, "fpKeys", {QStringLiteral("FP_Key_Name"), QStringLiteral("FP_Key")});
    m_irList = make_list(this, "irKeys",
                         {QStringLiteral("IR1_Key_Name"), QStringLiteral("IR1_Key"), QStringLiteral("IR2_Key_Name"),
                          QStringLiteral("IR2_Key")});
    lists->addWidget(m_fpList, 1);
    lists->addWidget(m_irList, 2);
    outer->addLayout(lists, 1);

    auto* codes = new QGridLayout;
    m_ir1User = firview::MakeEdit(this, "ir1UserCode");
    m_ir2User = firview::MakeEdit(this, "ir2UserCode");
    codes->addWidget(new QLabel(QStringLiteral("IR1 UserCode(in Hex):"), this), 0, 0);
    codes->addWidget(m_ir1User, 0, 1);
    codes->addWidget(new QLabel(QStringLiteral("IR2 UserCode(in Hex):"), this), 0, 2);
    codes->addWidget(m_ir2User, 0, 3);
    outer->addLayout(codes);

    auto* files = new QHBoxLayout;
    const struct {
        const char* load;
        const char* save;
        const char* name;
        PageFile kind;
    } kinds[] = {{"Load FP Key", "Save FP Key", "FpKey", PageFile::FpKey},
                 {"Load IR1 Key", "Save IR1 Key", "Ir1Key", PageFile::Ir1},
                 {"Load IR2 Key", "Save IR2 Key", "Ir2Key", PageFile::Ir2}};
    for (const auto& k : kinds) {
        QPushButton* load = MakeButton(this, k.load, (std::string("load") + k.name).c_str());
        QPushButton* save = MakeButton(this, k.save, (std::string("save") + k.name).c_str());
        files->addWidget(load);
        files->addWidget(save);
        const PageFile kind = k.kind;
        firview::ConnectFileButtons(
            this, load, save, kind, [this, kind](const QString& path) { LoadKeys(path, kind); },
            [this, kind](const QString& path) { SaveKeys(path, kind); });
    }
    outer->addLayout(files);

    connect(m_getKey, &QPushButton::clicked, this, &KeyMapDlg::OnGetKey);
    connect(m_base, &QComboBox::currentIndexChanged, this, &KeyMapDlg::OnBaseChanged);
    connect(m_fpList, &QTableWidget::cellDoubleClicked, this, [this](int r, int c) { OnDoubleClick(m_fpList, r, c); });
    connect(m_irList, &QTableWidget::cellDoubleClicked, this, [this](int r, int c) { OnDoubleClick(m_irList, r, c); });
}

bool KeyMapDlg::Hex() const { return m_base->currentIndex() == 1; }

QString KeyMapDlg::Format(unsigned value) const { return Hex() ? QString::number(value, 16) : QString::number(value); }

bool KeyMapDlg::ParseCell(const QString& text, bool hex, unsigned* value) const
{
    bool ok = false;
    const unsigned v = text.trimmed().toUInt(&ok, hex ? 16 : 10);
    if (ok)
        *value = v;
    return ok;
}

void KeyMapDlg::SetCell(QTableWidget* list, int row, int column, const QString& text, bool editable)
{
    auto* item = new QTableWidgetItem(text);
    if (!editable)
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    list->setItem(row, column, item);
}

void KeyMapDlg::Clear()
{
    m_fpList->setRowCount(0);
    m_irList->setRowCount(0);
    m_ir1User->clear();
    m_ir2User->clear();
    m_keyBuffer.fill(0);
}

void KeyMapDlg::Fill(const KeyNames& names, const CPanelRecord& rec)
{
    Clear();
    const KeyTable tables[] = {KeyTable::Fp, KeyTable::Ir1, KeyTable::Ir2};
    const int at[] = {0, 16, 144};
    for (int t = 0; t < 3; ++t)
        for (int i = 0; i < rec.count(tables[t]) && i < slot_capacity(tables[t]); ++i)
            m_keyBuffer[at[t] + i] = rec.key_code(tables[t], i);

    const int fp_rows = static_cast<int>(std::min<size_t>(names.fp.size(), kFpSlots));
    m_fpList->setRowCount(fp_rows);
    for (int i = 0; i < fp_rows; ++i) {
        SetCell(m_fpList, i, 0, firview::FromBox(names.fp[i]), false);
        SetCell(m_fpList, i, kFpKeyColumn, Format(m_keyBuffer[i]), true);
    }
    const int ir_rows = static_cast<int>(std::min<size_t>(std::max(names.ir1.size(), names.ir2.size()), kIrSlots));
    m_irList->setRowCount(ir_rows);
    for (int i = 0; i < ir_rows; ++i) {
        const bool has1 = i < static_cast<int>(names.ir1.size());
        const bool has2 = i < static_cast<int>(names.ir2.size());
        SetCell(m_irList, i, 0, has1 ? firview::FromBox(names.ir1[i]) : QString(), false);
        SetCell(m_irList, i, kIr1KeyColumn, has1 ? Format(m_keyBuffer[16 + i]) : QString(), true);
        SetCell(m_irList, i, 2, has2 ? firview::FromBox(names.ir2[i]) : QString(), false);
        SetCell(m_irList, i, kIr2KeyColumn, has2 ? Format(m_keyBuffer[144 + i]) : QString(), true);
    }
    m_ir1User->setText(QString::number(rec.user_code(KeyTable::Ir1), 16));
    m_ir2User->setText(QString::number(rec.user_code(KeyTable::Ir2), 16));
}

// Key cells keep their values when the base changes.
void KeyMapDlg::OnBaseChanged(int index)
{
    const bool was_hex = m_lastBase == 1;
    m_lastBase = index;
    m_flags->hex = index == 1;
    for (QTableWidget* list : {m_fpList, m_irList})
        for (int r = 0; r < list->rowCount(); ++r)
            for (int c : {1, 3}) {
                QTableWidgetItem* item = c < list->columnCount() ? list->item(r, c) : nullptr;
                unsigned v = 0;
                if (item && ParseCell(item->text(), was_hex, &v))
                    item->setText(Format(v));
            }
}

FirResult KeyMapDlg::ReadColumn(QTableWidget* list, int column, std::vector<uint32_t>* words) const
{
    words->clear();
    for (int r = 0; r < list->rowCount(); ++r) {
        QTableWidgetItem* item = list->item(r, column);
        const QString text = item ? item->text().trimmed() : QString();
        unsigned v = 0;
        if (!text.isEmpty() && (!ParseCell(text, Hex(), &v) || v > 0xFF))
            return FirResult::Fail("The '" + header(list, column).toStdString() + "' value in row " +
                                   std::to_string(r + 1) + " is not valid!");
        words->push_back(text.isEmpty() ? kNoKey : v);
    }
    return FirResult::Ok();
}

FirResult KeyMapDlg::ReadUserCode(QLineEdit* edit, uint16_t* code) const
{
    unsigned v = 0;
    if (!ParseCell(edit->text(), true, &v) || v > 0xFFFF)
        return FirResult::Fail(edit == m_ir1User ? "The 'IR1 UserCode' value is not valid!"
                                                 : "The 'IR2 UserCode' value is not valid!");
    *code = static_cast<uint16_t>(v);
    return FirResult::Ok();
}

FirResult KeyMapDlg::Gather(CPanelRecord* rec) const
{
    const struct {
        QTableWidget* list;
        int column;
        KeyTable table;
        QLineEdit* user;
    } parts[] = {{m_fpList, kFpKeyColumn, KeyTable::Fp, nullptr},
                 {m_irList, kIr1KeyColumn, KeyTable::Ir1, m_ir1User},
                 {m_irList, kIr2KeyColumn, KeyTable::Ir2, m_ir2User}};
    for (const auto& p : parts) {
        std::vector<uint32_t> words;
        FirResult res = ReadColumn(p.list, p.column, &words);
        uint16_t user = 0;
        if (res.ok && p.user)
            res = ReadUserCode(p.user, &user);
        if (!res.ok)
            return res;
        for (size_t i = 0; i < words.size(); ++i)
            if (words[i] != kNoKey)
                rec->set_key_code(p.table, static_cast<int>(i), static_cast<uint8_t>(words[i]));
        if (p.user)
            rec->set_user_code(p.table, user);
    }
    return FirResult::Ok();
}

QTableWidget* KeyMapDlg::ListOf(PageFile kind) const { return kind == PageFile::FpKey ? m_fpList : m_irList; }

int KeyMapDlg::KeyColumn(PageFile kind) const
{
    return kind == PageFile::FpKey ? kFpKeyColumn : kind == PageFile::Ir1 ? kIr1KeyColumn : kIr2KeyColumn;
}

QLineEdit* KeyMapDlg::UserCodeOf(PageFile kind) const
{
    return kind == PageFile::Ir1 ? m_ir1User : kind == PageFile::Ir2 ? m_ir2User : nullptr;
}

void KeyMapDlg::SaveKeys(const QString& path, PageFile kind)
{
    std::vector<uint32_t> words;
    FirResult res = ReadColumn(ListOf(kind), KeyColumn(kind), &words);
    uint16_t user = 0;
    if (res.ok && UserCodeOf(kind))
        res = ReadUserCode(UserCodeOf(kind), &user);
    for (uint32_t& w : words)
        w = w == kNoKey ? 0 : w;
    if (res.ok)
        res = write_page_file(path.toStdString(), key_file_record(kind, m_platform, words, user));
    firview::ShowResult(this, res);
}

void KeyMapDlg::LoadKeys(const QString& path, PageFile kind)
{
    CPanelRecord file;
    FirResult res = read_page_file(path.toStdString(), kind, m_platform, &file);
    if (res.ok) {
        KeyTable t;
        page_file_table(kind, &t);
        QTableWidget* list = ListOf(kind);
        for (int i = 0; i < file.count(t) && i < list->rowCount(); ++i)
            SetCell(list, i, KeyColumn(kind), Format(file.key_code(t, i)), true);
        if (QLineEdit* user = UserCodeOf(kind))
            user->setText(QString::number(file.user_code(t), 16));
    }
    firview::ShowResult(this, res);
}

void KeyMapDlg::OnGetKey()
{
    const bool start = m_getKey->text() == QLatin1String("Start Get Key");
    m_flags->hex = Hex();
    m_flags->getting = start;
    m_getKey->setText(start ? QStringLiteral("Stop Get Key") : QStringLiteral("Start Get Key"));
    for (QTableWidget* list : {m_fpList, m_irList})
        list->setEditTriggers(start ? QAbstractItemView::NoEditTriggers : QAbstractItemView::DoubleClicked);
    if (start)
        emit keyAcquisitionRequested();
}

void KeyMapDlg::ResetGetKey()
{
    m_flags->getting = false;
    m_flags->clear_focus();
    m_getKey->setText(QStringLiteral("Start Get Key"));
    for (QTableWidget* list : {m_fpList, m_irList})
        list->setEditTriggers(QAbstractItemView::DoubleClicked);
}

void KeyMapDlg::OnDoubleClick(QTableWidget* list, int row, int column)
{
    if (!m_flags->getting)
        return;
    if (list == m_fpList && column == kFpKeyColumn) {
        m_flags->focus(KeyTable::Fp, row);
    } else if (list == m_irList && (column == kIr1KeyColumn || column == kIr2KeyColumn)) {
        m_flags->focus(column == kIr1KeyColumn ? KeyTable::Ir1 : KeyTable::Ir2, row);
    } else {
        m_flags->clear_focus();
        firview::ShowError(this, QStringLiteral("Invalid cursor pos!"));
    }
}

void KeyMapDlg::ShowLearnedKey(const LearnedKey& key)
{
    QTableWidget* list = key.table == KeyTable::Fp ? m_fpList : m_irList;
    if (key.row < 0 || key.row >= list->rowCount())
        return;
    int column = kFpKeyColumn;
    if (key.table == KeyTable::Fp) {
        m_keyBuffer[key.row] = key.key_code;
    } else {
        const bool ir1 = key.table == KeyTable::Ir1;
        column = ir1 ? kIr1KeyColumn : kIr2KeyColumn;
        m_keyBuffer[(ir1 ? 16 : 144) + key.row] = key.key_code;
        (ir1 ? m_ir1User : m_ir2User)->setText(QString::number(key.user_code, 16));
    }
    SetCell(list, key.row, column, Format(key.key_code), true);
}
