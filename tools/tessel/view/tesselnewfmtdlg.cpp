#include "tesselnewfmtdlg.h"

#include "TesselDialog.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <QPointer>

#include <cstdio>
#include <memory>

namespace {
const char* const kAllFiles = "All   files   (*.*)";
}

tesselnewfmtdlg::tesselnewfmtdlg(TesselDialog* view) : QDialog(view), m_view(view)
{
    setWindowTitle(QStringLiteral("New Format"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    auto* saveBox = new QGroupBox(QStringLiteral("Save New Flash"), this);
    auto* sg = new QGridLayout(saveBox);
    m_output = new QLineEdit(saveBox);
    m_output->setObjectName("newFlashPath");
    auto* browse = new QPushButton(QStringLiteral("Browse"), saveBox);
    browse->setObjectName("newFlashBrowse");
    auto* save = new QPushButton(QStringLiteral("Save"), saveBox);
    save->setObjectName("newFlashSave");
    auto* back = new QPushButton(QStringLiteral("Back"), saveBox);
    back->setObjectName("back");
    // Where the workbook is, for a user without a spreadsheet program that
    // opens it by itself.
    m_workbook = new QLabel(saveBox);
    m_workbook->setObjectName("workbookPath");
    m_workbook->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_workbook->setWordWrap(true);
    m_workbook->setText(QStringLiteral("Workbook: %1").arg(workbookPath()));
    sg->addWidget(m_workbook, 0, 0, 1, 3);
    sg->addWidget(new QLabel(QStringLiteral("Output Flash File:"), saveBox), 1, 0);
    sg->addWidget(m_output, 1, 1);
    sg->addWidget(browse, 1, 2);
    sg->addWidget(save, 2, 1, Qt::AlignRight);
    sg->addWidget(back, 2, 2);
    sg->setColumnStretch(1, 1);

    QPushButton *saveBrowse = nullptr, *saveRun = nullptr, *loadBrowse = nullptr, *loadRun = nullptr;
    m_saveBox = blockGroup(QStringLiteral("Block Save"), QStringLiteral("Save Block Bin:"), QStringLiteral("Save"),
                           &m_saveList, &m_saveId, &m_savePath, &saveBrowse, &saveRun);
    m_loadBox = blockGroup(QStringLiteral("Block Load"), QStringLiteral("Load Block Bin:"), QStringLiteral("Load"),
                           &m_loadList, &m_loadId, &m_loadPath, &loadBrowse, &loadRun);
    m_saveList->setObjectName("saveBlockList");
    m_loadList->setObjectName("loadBlockList");
    m_savePath->setObjectName("saveBlockPath");
    m_loadPath->setObjectName("loadBlockPath");
    saveRun->setObjectName("saveBlock");
    loadRun->setObjectName("loadBlock");

    auto* col = new QVBoxLayout(this);
    col->addWidget(saveBox);
    col->addWidget(m_saveBox);
    col->addWidget(m_loadBox);
    col->addStretch(1);

    connect(browse, &QPushButton::clicked, this, &tesselnewfmtdlg::onBrowseOutput);
    connect(save, &QPushButton::clicked, this, &tesselnewfmtdlg::onSave);
    connect(back, &QPushButton::clicked, this, &QDialog::close);
    connect(saveBrowse, &QPushButton::clicked, this, &tesselnewfmtdlg::onBrowseSaveBlock);
    connect(saveRun, &QPushButton::clicked, this, &tesselnewfmtdlg::onSaveBlock);
    connect(loadBrowse, &QPushButton::clicked, this, &tesselnewfmtdlg::onBrowseLoadBlock);
    connect(loadRun, &QPushButton::clicked, this, &tesselnewfmtdlg::onLoadBlock);

    const bool internal = view->internalMode();
    m_saveBox->setVisible(internal);
    m_loadBox->setVisible(internal);
    if (internal) {
        const tag_dmh_block_node& node = view->blockNode();
        for (uint32_t i = 0; i < node.count; ++i) {
            const QString name = QString::fromStdString(tessel::entry_name(node.pristine[i]));
            m_saveList->addItem(name);
            m_loadList->addItem(name);
        }
        connect(m_saveList, &QComboBox::currentIndexChanged, this, &tesselnewfmtdlg::onBlockSelected);
        connect(m_loadList, &QComboBox::currentIndexChanged, this, &tesselnewfmtdlg::onBlockSelected);
        if (node.count > 0)
            onBlockSelected(0);
    }
    resize(560, sizeHint().height());
}

QGroupBox* tesselnewfmtdlg::blockGroup(const QString& title, const QString& pathLabel, const QString& action,
                                       QComboBox** list, QLabel** id, QLineEdit** path, QPushButton** browse,
                                       QPushButton** run)
{
    auto* box = new QGroupBox(title, this);
    auto* g = new QGridLayout(box);
    *list = new QComboBox(box);
    *id = new QLabel(box);
    *path = new QLineEdit(box);
    *browse = new QPushButton(QStringLiteral("Browse"), box);
    *run = new QPushButton(action, box);
    g->addWidget(new QLabel(QStringLiteral("Select A Block:"), box), 0, 0);
    g->addWidget(*list, 0, 1);
    g->addWidget(new QLabel(QStringLiteral("ID:"), box), 0, 2);
    g->addWidget(*id, 0, 3);
    g->addWidget(new QLabel(pathLabel, box), 1, 0);
    g->addWidget(*path, 1, 1, 1, 3);
    g->addWidget(*browse, 1, 4);
    g->addWidget(*run, 2, 4);
    g->setColumnStretch(1, 1);
    return box;
}

QString tesselnewfmtdlg::workbookPath() const { return QString::fromStdString(m_view->core().workbook_path()); }

void tesselnewfmtdlg::onBrowseOutput()
{
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Output Flash File"), m_output->text(),
                                                QStringLiteral("BIN files(*.bin);;All   files   (*.*)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".bin");
    m_output->setText(path);
}

void tesselnewfmtdlg::onSave()
{
    if (m_view->busy())
        return;
    const QString out = m_output->text();
    if (out.isEmpty()) {
        m_view->message(QStringLiteral("Please select output file!"));
        return;
    }
    const QString book = workbookPath();
    if (!QFileInfo::exists(book)) {
        m_view->message(QStringLiteral("error open excel  file "));
        return;
    }
    struct Result {
        QString text;
        QString detail;
        bool ok = false;
    };
    auto r = std::make_shared<Result>();
    CTesselcore* core = &m_view->core();
    tag_dmh_block_node* node = &m_view->blockNode();
    const std::vector<uint8_t>* image = &m_view->image();
    const bool import = !m_blockLoaded;
    const std::string bookPath = book.toStdString(), outPath = out.toStdString();
    QPointer<tesselnewfmtdlg> self(this);
    TesselDialog* view = m_view;
    view->runBusy(
        import ? QStringLiteral("Reading the workbook ...") : QStringLiteral("Writing the new flash ..."),
        [=] {
            if (import) {
                const int rc = core->read_xls_file(node);
                std::remove(bookPath.c_str());
                if (rc != 0) {
                    r->text = QStringLiteral("xls file error,can not create new flash");
                    r->detail = QString::fromStdString(core->last_message());
                    return;
                }
            }
            r->ok = core->save_new_flash(image->data(), (uint32_t)image->size(), outPath) == 0;
            r->text = QString::fromStdString(core->last_message());
        },
        [self, view, r] {
            if (self && r->ok)
                self->m_blockLoaded = false;
            view->message(r->text, !r->ok, r->detail);
        });
}

void tesselnewfmtdlg::onBlockSelected(int index)
{
    const tag_dmh_block_node& node = m_view->blockNode();
    if (index < 0 || (uint32_t)index >= node.count)
        return;
    m_blockName = QString::fromStdString(tessel::entry_name(node.pristine[index]));
    m_blockId = tessel::entry_id(node.pristine[index]);
    auto* list = qobject_cast<QComboBox*>(sender());
    const QString id = QString::asprintf("0x%x", m_blockId);
    if (!list || list == m_saveList)
        m_saveId->setText(id);
    if (!list || list == m_loadList)
        m_loadId->setText(id);
}

void tesselnewfmtdlg::onBrowseSaveBlock()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Block Bin"), m_savePath->text(),
                                                      QString::fromLatin1(kAllFiles));
    if (!path.isEmpty())
        m_savePath->setText(path);
}

void tesselnewfmtdlg::onBrowseLoadBlock()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Load Block Bin"), m_loadPath->text(),
                                                      QString::fromLatin1(kAllFiles));
    if (!path.isEmpty())
        m_loadPath->setText(path);
}

void tesselnewfmtdlg::onSaveBlock()
{
    if (m_view->busy())
        return;
    const std::vector<uint8_t>& img = m_view->image();
    CTesselcore& core = m_view->core();
    const int rc = core.save_block(img.data(), (uint32_t)img.size(), m_blockName.toStdString(), m_blockId,
                                   m_savePath->text().toStdString());
    m_view->message(QString::fromStdString(core.last_message()), rc != 0);
}

void tesselnewfmtdlg::onLoadBlock()
{
    if (m_view->busy())
        return;
    CTesselcore& core = m_view->core();
    const int rc = core.load_block(m_blockName.toStdString(), m_blockId, m_loadPath->text().toStdString());
    if (rc == 0)
        m_blockLoaded = true;
    m_view->message(QString::fromStdString(core.last_message()), rc != 0);
}
