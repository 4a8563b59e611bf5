#include "TesselDialog.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "TesselSteps.h"
#include "TesselSubDialog.h"
#include "ToolCommon.h"
#include "tesselnewfmtdlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace {

QStringList entryRow(const tessel_block_row_t& r)
{
    QStringList cells;
    for (const std::string& c : tessel::block_row_cells(r))
        cells << QString::fromStdString(c);
    return cells;
}

// What a Pre-Parse finds, built off the user-interface thread.
struct Loaded {
    tessel_image_t img;
    tag_dmh_block_node node{};
    int rc = -1;
    QString error, detail;
};

}  // namespace

TesselDialog::TesselDialog(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Tessel"));
    m_internal = tessel::internal_mode_from_settings();

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_content = new QWidget(scroll);
    scroll->setWidget(m_content);

    auto* col = new QVBoxLayout(m_content);
    col->addWidget(buildPreParseBox());
    col->addWidget(buildHeaderBox());
    col->addWidget(buildBlockBox(), 1);
    col->addWidget(buildParseBox());
    col->addWidget(buildExportBox());
    col->addWidget(buildBusyRow());
    col->addStretch(0);
    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);
    top->addWidget(scroll);

    addTips();
    connectControls();
    showLoaded(false);

    // A picture or a demonstration of a given image: CORVANE_TESSEL_IMAGE
    // names it; the tab comes to the front and pre-parses it.
    const QString preload = qEnvironmentVariable("CORVANE_TESSEL_IMAGE");
    if (!preload.isEmpty()) {
        m_srcPath->setText(preload);
        QTimer::singleShot(0, this, [this] {
            for (QWidget* w = parentWidget(); w; w = w->parentWidget())
                if (auto* sub = qobject_cast<QMdiSubWindow*>(w)) {
                    if (sub->mdiArea())
                        sub->mdiArea()->setActiveSubWindow(sub);
                    break;
                }
            onPreParse();
        });
    }
}

// Pre-Parse: the source image, experts, the code page.
QWidget* TesselDialog::buildPreParseBox()
{
    auto* preBox = new QGroupBox(QStringLiteral("Pre-Parse"), m_content);
    auto* pg = new QGridLayout(preBox);
    m_srcPath = new QLineEdit(preBox);
    m_srcPath->setObjectName("sourcePath");
    m_srcBrowse = new QPushButton(QStringLiteral("Browse"), preBox);
    m_srcBrowse->setObjectName("sourceBrowse");
    m_preParse = new QPushButton(QStringLiteral("Pre-Parse"), preBox);
    m_preParse->setObjectName("preParse");
    m_cancel = new QPushButton(QStringLiteral("Cancel"), preBox);
    m_cancel->setObjectName("cancel");
    m_expertsBox = new QCheckBox(QStringLiteral("Experts Only"), preBox);
    m_expertsBox->setObjectName("experts");
    pg->addWidget(new QLabel(QStringLiteral("Source BIN File"), preBox), 0, 0);
    pg->addWidget(m_srcPath, 0, 1, 1, 3);
    pg->addWidget(m_srcBrowse, 0, 4);
    // The code page of the box: texts typed into fields and workbooks go
    // into the image in it.
    m_codePage = new QComboBox(preBox);
    m_codePage->setObjectName("codePage");
    for (const std::string& name : kv::CodePage::known())
        m_codePage->addItem(QString::fromStdString(name));
    m_codePage->setCurrentText(QString::fromStdString(m_core.code_page().name()));
    m_codePage->setToolTip(QStringLiteral("The code page of the box's texts (corvane.ini [STB] CodePage)."));
    auto* cpRow = new QWidget(preBox);
    auto* cpl = new QHBoxLayout(cpRow);
    cpl->setContentsMargins(0, 0, 0, 0);
    cpl->addWidget(new QLabel(QStringLiteral("Code Page"), cpRow));
    cpl->addWidget(m_codePage);
    pg->addWidget(m_expertsBox, 1, 1);
    pg->addWidget(cpRow, 1, 2);
    pg->addWidget(m_preParse, 1, 3);
    pg->addWidget(m_cancel, 1, 4);
    pg->setColumnStretch(2, 1);

    return preBox;
}

// Header Information.
QWidget* TesselDialog::buildHeaderBox()
{
    auto* headBox = new QGroupBox(QStringLiteral("Header Information"), m_content);
    auto* hg = new QGridLayout(headBox);
    auto value = [&](const char* name) {
        auto* l = new QLabel(headBox);
        l->setObjectName(name);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        l->setMinimumWidth(120);
        return l;
    };
    m_sdramLabel = value("sdramSize");
    m_flashLabel = value("flashSize");
    m_countLabel = value("blockNumber");
    m_versionLabel = value("softwareVersion");
    hg->addWidget(new QLabel(QStringLiteral("SDRAM Size:"), headBox), 0, 0);
    hg->addWidget(m_sdramLabel, 0, 1);
    hg->addWidget(new QLabel(QStringLiteral("Flash Size:"), headBox), 0, 2);
    hg->addWidget(m_flashLabel, 0, 3);
    hg->addWidget(new QLabel(QStringLiteral("Block Number"), headBox), 1, 0);
    hg->addWidget(m_countLabel, 1, 1);
    hg->addWidget(new QLabel(QStringLiteral("Software Version"), headBox), 1, 2);
    hg->addWidget(m_versionLabel, 1, 3);
    hg->setColumnStretch(3, 1);

    return headBox;
}

// Block Information.
QWidget* TesselDialog::buildBlockBox()
{
    auto* blockBox = new QGroupBox(QStringLiteral("Block Information"), m_content);
    auto* bl = new QVBoxLayout(blockBox);
    m_blockList = new QTreeWidget(blockBox);
    m_blockList->setObjectName("blockList");
    m_blockList->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Size"), QStringLiteral("CRC"),
                                  QStringLiteral("Name"), QStringLiteral("Version"), QStringLiteral("Time")});
    m_blockList->setRootIsDecorated(false);
    m_blockList->setUniformRowHeights(true);
    m_blockList->setAlternatingRowColors(true);
    m_blockList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_blockList->setFont(mono);
    m_blockList->header()->setStretchLastSection(true);
    m_blockList->setMinimumHeight(160);
    bl->addWidget(m_blockList);

    return blockBox;
}

// Start Parsing.
QWidget* TesselDialog::buildParseBox()
{
    m_parseBox = new QGroupBox(QStringLiteral("Start Parsing"), m_content);
    auto* sg = new QGridLayout(m_parseBox);
    m_scriptRow = new QWidget(m_parseBox);
    auto* sr = new QHBoxLayout(m_scriptRow);
    sr->setContentsMargins(0, 0, 0, 0);
    m_scriptEdit = new QLineEdit(m_scriptRow);
    m_scriptEdit->setObjectName("scriptPath");
    m_scriptBrowse = new QPushButton(QStringLiteral("Browse"), m_scriptRow);
    m_scriptBrowse->setObjectName("scriptBrowse");
    sr->addWidget(new QLabel(QStringLiteral("Open Script File"), m_scriptRow));
    sr->addWidget(m_scriptEdit, 1);
    sr->addWidget(m_scriptBrowse);
    m_parse = new QPushButton(QStringLiteral("Parse"), m_parseBox);
    m_parse->setObjectName("parse");
    sg->addWidget(m_scriptRow, 0, 0, 1, 2);
    sg->addWidget(m_parse, 1, 1);
    sg->setColumnStretch(0, 1);

    return m_parseBox;
}

// Export Configs.
QWidget* TesselDialog::buildExportBox()
{
    m_exportBox = new QGroupBox(QStringLiteral("Export Configs"), m_content);
    auto* eg = new QGridLayout(m_exportBox);
    m_outPath = new QLineEdit(m_exportBox);
    m_outPath->setObjectName("outputPath");
    m_outBrowse = new QPushButton(QStringLiteral("Browse"), m_exportBox);
    m_outBrowse->setObjectName("outputBrowse");
    m_export = new QPushButton(QStringLiteral("Export"), m_exportBox);
    m_export->setObjectName("export");
    eg->addWidget(new QLabel(QStringLiteral("Output Path"), m_exportBox), 0, 0);
    eg->addWidget(m_outPath, 0, 1);
    eg->addWidget(m_outBrowse, 0, 2);
    eg->addWidget(m_export, 1, 2);
    eg->setColumnStretch(1, 1);

    return m_exportBox;
}

// Busy state of a parse or a workbook write.
QWidget* TesselDialog::buildBusyRow()
{
    auto* busyRow = new QWidget(m_content);
    auto* br = new QHBoxLayout(busyRow);
    br->setContentsMargins(0, 0, 0, 0);
    m_busyLabel = new QLabel(busyRow);
    m_busyLabel->setObjectName("busyLabel");
    m_busyBar = new QProgressBar(busyRow);
    m_busyBar->setRange(0, 0);
    m_busyBar->setMaximumWidth(160);
    br->addWidget(m_busyLabel, 1);
    br->addWidget(m_busyBar);
    m_busyLabel->hide();
    m_busyBar->hide();

    return busyRow;
}

void TesselDialog::addTips()
{
    m_tips.Create(this);
    m_tips.SetMaxTipWidth(200);
    m_tips.SetTipBkColor(0xACF7BB);
    m_tips.AddTool(m_srcPath, L"Select a flash binary file for edit.");
    m_tips.AddTool(m_preParse, L"Pre-parse the flash binary to check its validity.");
    m_tips.AddTool(m_cancel, L"Clear the current selected file.");
    m_tips.AddTool(m_expertsBox, L"It's only for experts, customers should not check it.");
    m_tips.AddTool(m_export, L"Export a new flash binary file.");
    m_tips.AddTool(m_parse, L"Parse the config UI or a excel file.");
    m_tips.AddTool(m_scriptBrowse, L"Select the cfg file of flash.bin.");
    m_tips.AddTool(m_outBrowse, L"Select the output path of new flash.bin.");
}

void TesselDialog::connectControls()
{
    connect(m_srcBrowse, &QPushButton::clicked, this, &TesselDialog::onBrowseSource);
    connect(m_preParse, &QPushButton::clicked, this, &TesselDialog::onPreParse);
    connect(m_cancel, &QPushButton::clicked, this, &TesselDialog::onCancel);
    connect(m_scriptBrowse, &QPushButton::clicked, this, &TesselDialog::onBrowseScript);
    connect(m_parse, &QPushButton::clicked, this, &TesselDialog::onParse);
    connect(m_outBrowse, &QPushButton::clicked, this, &TesselDialog::onBrowseOutput);
    connect(m_export, &QPushButton::clicked, this, &TesselDialog::onExport);
    connect(m_codePage, &QComboBox::currentTextChanged, this,
            [this](const QString& name) { m_core.set_code_page(kv::CodePage(name.toStdString())); });
    connect(m_expertsBox, &QCheckBox::toggled, this,
            [this](bool on) { m_scriptRow->setVisible(on && m_state != State::Empty); });
}

TesselDialog::~TesselDialog()
{
    m_future.waitForFinished();
    closeDialogs();
    freeImage();
}

tesselnewfmtdlg* TesselDialog::newFormatDialog() const { return m_newFmt; }
TesselSubDialog* TesselDialog::customerDialog() const { return m_sub; }

bool TesselDialog::experts() const { return m_expertsBox->isChecked(); }

QString TesselDialog::scriptPath() const { return experts() ? m_scriptEdit->text() : m_scriptDefault; }

QStringList TesselDialog::blockRows() const
{
    QStringList rows;
    for (int i = 0; i < m_blockList->topLevelItemCount(); ++i) {
        QStringList cells;
        for (int c = 0; c < m_blockList->columnCount(); ++c)
            cells << m_blockList->topLevelItem(i)->text(c);
        rows << cells.join(QLatin1String("  "));
    }
    return rows;
}

void TesselDialog::message(const QString& text, bool error, const QString& detail)
{
    m_lastMessage = text;
    const QString shown = detail.isEmpty() || detail == text ? text : text + QStringLiteral("\n\n") + detail;
    if (error) {
        corvane::ErrorBox(window(), shown);
        return;
    }
    if (corvane::IsHeadless()) {
        kv_console_printf("%s\n", shown.toUtf8().constData());
        return;
    }
    QMessageBox::information(window(), QStringLiteral("Tessel"), shown);
}

void TesselDialog::setBusy(bool on, const QString& what)
{
    m_busy = on;
    m_content->setEnabled(!on);
    for (QWidget* d : {static_cast<QWidget*>(m_newFmt.data()), static_cast<QWidget*>(m_sub.data())})
        if (d)
            d->setEnabled(!on);
    m_busyLabel->setText(what);
    m_busyLabel->setVisible(on);
    m_busyBar->setVisible(on);
    m_busyLabel->parentWidget()->setEnabled(true);
    if (on)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TesselDialog::runBusy(const QString& what, std::function<void()> work, std::function<void()> done)
{
    setBusy(true, what);
    auto failure = std::make_shared<QString>();
    auto* watcher = new QFutureWatcher<void>(this);
    connect(watcher, &QFutureWatcher<void>::finished, this, [this, watcher, done, failure] {
        watcher->deleteLater();
        setBusy(false);
        if (!failure->isEmpty()) {
            message(QStringLiteral("no memery!"), true, *failure);
            return;
        }
        done();
    });
    // An allocation that fails on the worker becomes a message, never a crash.
    m_future = QtConcurrent::run([work = std::move(work), failure] {
        try {
            work();
        } catch (const std::bad_alloc&) {
            *failure = QStringLiteral("The work ran out of memory.");
        } catch (const std::exception& e) {
            *failure = QString::fromLocal8Bit(e.what());
        }
    });
    watcher->setFuture(m_future);
}

void TesselDialog::showLoaded(bool on)
{
    for (QLabel* l : {m_sdramLabel, m_flashLabel, m_countLabel, m_versionLabel})
        l->setVisible(on);
    m_blockList->setVisible(on);
    m_parseBox->setVisible(on);
    m_exportBox->setVisible(on);
    m_scriptRow->setVisible(on && experts());
}

void TesselDialog::closeDialogs()
{
    if (m_newFmt)
        delete m_newFmt;  // its end brings Parse back (newFormatClosed)
    if (m_sub)
        delete m_sub;
}

void TesselDialog::freeImage()
{
    m_core.generator_init();
    m_oldCfg.FreeDynamicItem();
    m_core.free_block_node(&m_node);
    m_img = tessel_image_t{};
}

void TesselDialog::onBrowseSource()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Source BIN File"), m_srcPath->text(),
                                                      QStringLiteral("bin files (*.bin)"));
    if (path.isEmpty())
        return;
    m_srcPath->setText(path);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        message(QStringLiteral("Failed to open selected file!"));
}

void TesselDialog::onPreParse()
{
    if (m_busy)
        return;
    const QString src = m_srcPath->text();
    if (src.isEmpty()) {
        message(QStringLiteral("Please select source flash file first!"));
        return;
    }
    // The dialogs work on the image being replaced.
    closeDialogs();
    auto r = std::make_shared<Loaded>();
    const std::string path = src.toUtf8().toStdString();
    CTesselcore* core = &m_core;
    runBusy(
        QStringLiteral("Reading %1 ...").arg(QFileInfo(src).fileName()),
        [r, path, core] {
            r->rc = core->load_image(path, &r->img, &r->node);
            r->error = QString::fromStdString(core->last_message());
            r->detail = QString::fromStdString(core->last_detail());
        },
        [this, r, src] {
            if (r->rc != 0) {
                message(r->error, true, r->detail);
                return;
            }
            freeImage();
            m_img = std::move(r->img);  // the bytes the core's scan points at move with it
            m_node = r->node;
            r->node = tag_dmh_block_node{};
            m_core.set_block_node(m_img.is_new ? &m_node : nullptr);
            // The script of an old-layout image is named after its version,
            // beside it; experts name theirs.
            m_scriptDefault = QFileInfo(src).absolutePath() + QLatin1Char('/') + QString::fromStdString(m_img.version);
            if (experts())
                m_scriptEdit->clear();
            m_sdramLabel->setText(QString::asprintf("0x%X", m_img.sdram_size));
            m_flashLabel->setText(QString::asprintf("0x%X", m_img.flash_size));
            m_countLabel->setText(QString::number(m_img.block_count));
            m_versionLabel->setText(QString::fromStdString(m_img.version));
            fillBlockList();
            m_parse->setEnabled(true);
            m_state = State::Loaded;
            showLoaded(true);
            kv_console_printf("Tessel: %s, %s layout, %u blocks\n", src.toUtf8().constData(),
                              m_img.is_new ? "new" : "old", m_img.block_count);
        });
}

void TesselDialog::fillBlockList()
{
    m_blockList->clear();
    QList<QTreeWidgetItem*> rows;
    for (const tessel_block_row_t& r : CTesselcore::describe_blocks(m_img, m_node))
        rows << new QTreeWidgetItem(entryRow(r));
    for (QTreeWidgetItem* r : rows)
        r->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    m_blockList->addTopLevelItems(rows);
    for (int c = 0; c < m_blockList->columnCount(); ++c) {
        m_blockList->resizeColumnToContents(c);
        m_blockList->setColumnWidth(c, m_blockList->columnWidth(c) + 18);
    }
}

void TesselDialog::refreshOldImage()
{
    if (m_img.is_new || m_img.bytes.empty())
        return;
    tessel_old_image_t old;
    if (m_core.read_old_layout(m_img.bytes.data(), m_img.bytes.size(), &old) != 0)
        return;
    m_img.old = std::move(old);
    fillBlockList();
}

void TesselDialog::onCancel()
{
    if (m_busy)
        return;
    m_srcPath->clear();
    m_scriptEdit->clear();
    m_outPath->clear();
    m_expertsBox->setChecked(false);
    m_blockList->clear();
    m_preParse->setEnabled(true);
    m_srcBrowse->setEnabled(true);
    m_parse->setEnabled(true);
    closeDialogs();
    freeImage();
    m_scriptDefault.clear();
    m_state = State::Empty;
    showLoaded(false);
}

void TesselDialog::onBrowseScript()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Script File"), m_scriptEdit->text());
    if (!path.isEmpty())
        m_scriptEdit->setText(path);
}

void TesselDialog::onBrowseOutput()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Output Path"), m_outPath->text(),
                                                      QStringLiteral("BIN files(*.bin);;All   files   (*.*)"));
    if (path.isEmpty())
        return;
    m_outPath->setText(QFileInfo(path).suffix().isEmpty() ? path + QStringLiteral(".bin") : path);
}

void TesselDialog::onParse()
{
    if (m_busy || m_state == State::Empty)
        return;
    if (!m_img.is_new) {
        parseOld();
        return;
    }
    std::string script;
    if (m_internal && experts()) {
        if (m_scriptEdit->text().isEmpty()) {
            message(QStringLiteral("Please input a config file!"));
            return;
        }
        script = m_scriptEdit->text().toStdString();
    }
    closeDialogs();
    m_core.generator_init();
    // The workbook goes to the current folder, or beside the image when that
    // folder cannot be written.
    QString dir = QDir::currentPath();
    if (!QFileInfo(dir).isWritable())
        dir = QFileInfo(m_srcPath->text()).absolutePath();
    m_core.set_workbook_path((dir + QStringLiteral("/preset.xlsx")).toStdString());

    auto result = std::make_shared<QString>();
    const std::string before = m_core.last_message();  // a reason is news only if it changed
    CTesselcore* core = &m_core;
    tag_dmh_block_node* node = &m_node;
    const uint8_t* img = m_img.bytes.data();
    const uint32_t len = (uint32_t)m_img.bytes.size();
    runBusy(
        QStringLiteral("Writing the workbook ..."),
        [=] { *result = QString::fromStdString(tessel::write_new_workbook(*core, node, img, len, script)); },
        [this, result, before] {
            if (!result->isEmpty()) {
                const std::string& now = m_core.last_message();
                message(*result, true, now != before ? QString::fromStdString(now) : QString());
                return;
            }
            const QString book = QString::fromStdString(m_core.workbook_path());
            m_newFmt = new tesselnewfmtdlg(this);
            connect(m_newFmt, &QObject::destroyed, this, &TesselDialog::newFormatClosed);
            m_newFmt->show();
            m_parse->setEnabled(false);
            m_state = State::Parsed;
            kv_console_printf("Tessel: workbook %s\n", book.toUtf8().constData());
            if (!corvane::IsHeadless())
                QDesktopServices::openUrl(QUrl::fromLocalFile(book));
        });
}

void TesselDialog::newFormatClosed()
{
    // The workbook round trip is over; another Parse may start one.
    if (m_state == State::Parsed)
        m_state = State::Loaded;
    m_parse->setEnabled(true);
}

void TesselDialog::parseOld()
{
    const QString script = scriptPath();
    if (script.isEmpty() || (experts() && m_scriptEdit->text().isEmpty())) {
        message(QStringLiteral("Please select script file!"));
        return;
    }
    if (m_sub)
        delete m_sub;
    if (m_oldCfg.read_script(script.toUtf8().toStdString(), m_img.bytes.size()) != 0) {
        message(QString::fromStdString(m_oldCfg.last_message()));
        return;
    }
    m_sub = new TesselSubDialog(this);
    m_sub->show();
}

void TesselDialog::onExport()
{
    if (m_busy || m_state == State::Empty)
        return;
    const QString out = m_outPath->text();
    if (out.isEmpty()) {
        message(QStringLiteral("Please select a file to be exported!"));
        return;
    }
    const bool ok = m_core.export_config_area(m_img.bytes, out.toUtf8().toStdString()) == 0;
    message(QString::fromStdString(m_core.last_message()), !ok);
}
