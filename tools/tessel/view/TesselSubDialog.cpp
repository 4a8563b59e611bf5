#include "TesselSubDialog.h"

#include "TesselDialog.h"
#include "TesselNewButtonDialog.h"
#include "OldLayoutConfig.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

constexpr int kItemButtonId = 20000;
constexpr int kItemLabelId = 20100;
constexpr int kItemPathId = 20200;
constexpr int kItemBrowseId = 20300;

QLineEdit* pathRow(QWidget* parent, QGridLayout* g, int row, const QString& label, const QString& name,
                   std::function<QString(QWidget*, const QString&)> choose)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    auto* browse = new QPushButton(QStringLiteral("Browse"), parent);
    g->addWidget(new QLabel(label, parent), row, 0);
    g->addWidget(edit, row, 1);
    g->addWidget(browse, row, 2);
    QObject::connect(browse, &QPushButton::clicked, parent, [parent, edit, choose] {
        const QString p = choose(parent, edit->text());
        if (!p.isEmpty())
            edit->setText(p);
    });
    return edit;
}

}  // namespace

TesselSubDialog::TesselSubDialog(TesselDialog* view) : QDialog(view), m_view(view)
{
    setWindowTitle(QStringLiteral("Customer Config"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    int row = 0;
    QWidget* itemsBox = buildItems(&row);
    QWidget* out = buildPaths();
    QWidget* expert = buildExpertRow();

    auto* generate = new QPushButton(QStringLiteral("Generate"), this);
    generate->setObjectName("generate");
    auto* back = new QPushButton(QStringLiteral("Back"), this);
    back->setObjectName("back");
    auto* buttonsRow = new QHBoxLayout;
    buttonsRow->addStretch(1);
    buttonsRow->addWidget(generate);
    buttonsRow->addWidget(back);

    auto* col = new QVBoxLayout(this);
    col->addWidget(itemsBox, 1);
    col->addWidget(out);
    col->addWidget(expert);
    col->addLayout(buttonsRow);
    connect(generate, &QPushButton::clicked, this, &TesselSubDialog::onGenerate);
    connect(back, &QPushButton::clicked, this, &QDialog::close);
    resize(620, std::min(720, 260 + 32 * row));
}

// One row per item; a long script scrolls. *rows: the rows made.
QWidget* TesselSubDialog::buildItems(int* rows)
{
    auto* itemsBox = new QGroupBox(QStringLiteral("Items"), this);
    auto* scroll = new QScrollArea(itemsBox);
    scroll->setWidgetResizable(true);
    auto* itemsWidget = new QWidget(scroll);
    auto* ig = new QGridLayout(itemsWidget);
    ig->setVerticalSpacing(4);
    int row = 0, buttons = 0, files = 0;
    TesselDialog* view = m_view;
    for (KV_DYNAMIC_ITEM* it = view->oldConfig().items(); it; it = it->next) {
        const QString name = QString::fromUtf8(it->name);
        if (it->em == 0 || it->em == 3) {
            auto* b = new QPushButton(
                name.isEmpty() ? QStringLiteral("(id 0x%1)").arg(it->id, 2, 16, QChar('0')) : name, itemsWidget);
            b->setObjectName(QStringLiteral("item_") + name);
            it->control_id = (uint16_t)(kItemButtonId + buttons++);
            b->setProperty("controlId", it->control_id);
            b->setToolTip(
                QStringLiteral("Block id 0x%1, %2 fields").arg(it->id, 2, 16, QChar('0')).arg(it->field_count));
            ig->addWidget(b, row++, 0, 1, 3, Qt::AlignLeft);
            m_buttons.emplace_back(it, b);
            connect(b, &QPushButton::clicked, this, [this, it] { openItem(it); });
        } else if (it->em == 1 || it->em == 2) {
            auto* l = new QLabel(name, itemsWidget);
            l->setProperty("controlId", kItemLabelId + files);
            auto* p = new QLineEdit(itemsWidget);
            p->setObjectName(QStringLiteral("path_") + name);
            p->setProperty("controlId", kItemPathId + files);
            p->setPlaceholderText(it->em == 2 ? QStringLiteral("hardware-info file") : QStringLiteral("block file"));
            auto* b = new QPushButton(QStringLiteral("...."), itemsWidget);
            b->setProperty("controlId", kItemBrowseId + files);
            it->control_id = (uint16_t)(kItemPathId + files++);
            ig->addWidget(l, row, 0);
            ig->addWidget(p, row, 1);
            ig->addWidget(b, row++, 2);
            m_files.push_back({it, p});
            connect(b, &QPushButton::clicked, this, [this, p] {
                const QString f = QFileDialog::getOpenFileName(this, QStringLiteral("Select a file"), p->text());
                if (!f.isEmpty())
                    p->setText(f);
            });
        }
    }
    ig->setColumnStretch(1, 1);
    ig->setRowStretch(row, 1);
    scroll->setWidget(itemsWidget);
    auto* il = new QVBoxLayout(itemsBox);
    il->addWidget(scroll);
    *rows = row;
    return itemsBox;
}

// The configuration, key and output paths.
QWidget* TesselSubDialog::buildPaths()
{
    auto* out = new QWidget(this);
    auto* og = new QGridLayout(out);
    og->setContentsMargins(0, 0, 0, 0);
    m_configs = pathRow(out, og, 0, QStringLiteral("Import Configs (If need)"), QStringLiteral("configsPath"),
                        [](QWidget* p, const QString& cur) {
                            return QFileDialog::getOpenFileName(p, QStringLiteral("Import Configs"), cur,
                                                                QStringLiteral("bin files (*.bin);;All Files (*.*)"));
                        });
    m_key = pathRow(out, og, 1, QStringLiteral("Import ABS Key (If have)"), QStringLiteral("keyPath"),
                    [](QWidget* p, const QString& cur) {
                        return QFileDialog::getOpenFileName(p, QStringLiteral("Import ABS Key"), cur,
                                                            QStringLiteral("pub files (*.pub)"));
                    });
    m_output = pathRow(out, og, 2, QStringLiteral("Output Flash Binary To:"), QStringLiteral("outputPath"),
                       [](QWidget* p, const QString& cur) {
                           QString f =
                               QFileDialog::getSaveFileName(p, QStringLiteral("Output Flash Binary"), cur,
                                                            QStringLiteral("BIN files(*.bin);;All   files   (*.*)"));
                           if (!f.isEmpty() && QFileInfo(f).suffix().isEmpty())
                               f += QStringLiteral(".bin");
                           return f;
                       });
    og->setColumnStretch(1, 1);

    return out;
}

// The single-byte edit of experts.
QWidget* TesselSubDialog::buildExpertRow()
{
    auto* expert = new QWidget(this);
    auto* eg = new QHBoxLayout(expert);
    eg->setContentsMargins(0, 0, 0, 0);
    auto* caution = new QLabel(QStringLiteral("Caution: Don't Edit Unless You Mean It!"), expert);
    caution->setStyleSheet(QStringLiteral("color: #B00000; font-weight: bold"));
    m_address = new QLineEdit(expert);
    m_address->setObjectName("flashAddress");
    m_address->setMaximumWidth(110);
    m_byte = new QLineEdit(expert);
    m_byte->setObjectName("byteValue");
    m_byte->setMaximumWidth(50);
    m_byte->setMaxLength(2);
    eg->addWidget(caution);
    eg->addStretch(1);
    eg->addWidget(new QLabel(QStringLiteral("Flash Address: 0x"), expert));
    eg->addWidget(m_address);
    eg->addWidget(new QLabel(QStringLiteral("BYTE Value: 0x"), expert));
    eg->addWidget(m_byte);
    expert->setVisible(m_view->experts());
    return expert;
}

TesselNewButtonDialog* TesselSubDialog::fieldEditor() const { return m_editor; }

QPushButton* TesselSubDialog::itemButton(const QString& name) const
{
    for (const auto& [item, b] : m_buttons)
        if (QString::fromUtf8(item->name) == name)
            return b;
    return nullptr;
}

QLineEdit* TesselSubDialog::itemPath(const QString& name) const
{
    for (const auto& r : m_files)
        if (QString::fromUtf8(r.item->name) == name)
            return r.path;
    return nullptr;
}

void TesselSubDialog::openItem(KV_DYNAMIC_ITEM* item)
{
    if (m_editor)
        delete m_editor;
    m_editor = new TesselNewButtonDialog(m_view, item, this);
    m_editor->setAttribute(Qt::WA_DeleteOnClose);
    m_editor->setModal(true);
    m_editor->show();
}

void TesselSubDialog::onGenerate()
{
    tessel::old_generate_t req;
    req.output = m_output->text().toStdString();
    for (const auto& r : m_files)
        req.files.emplace_back(r.item, r.path->text().trimmed().toStdString());
    req.configs = m_configs->text().trimmed().toStdString();
    req.abs_key = m_key->text().trimmed().toStdString();
    req.expert = m_view->experts();
    req.flash_address = m_address->text().toStdString();
    req.byte_value = m_byte->text().toStdString();
    CTesselOldConfig& cfg = m_view->oldConfig();
    const int rc = cfg.generate(req, &m_view->image());
    for (const auto& w : cfg.warnings())
        m_view->message(QString::fromStdString(w), false);
    m_view->refreshOldImage();
    m_view->message(QString::fromStdString(cfg.last_message()), rc != 0);
}
