// The "Tessel" tab: load a flash image, check it, show its header and block
// list, export its configuration area, turn its configuration into a workbook
// (new layout, with the "New Format" dialog) or open the customer
// configuration (old layout).
#pragma once

#include "Tesselcore.h"
#include "ToolTipCtrl.h"
#include "OldLayoutConfig.h"

#include <QFuture>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class tesselnewfmtdlg;
class TesselSubDialog;

class TesselDialog : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit TesselDialog(QWidget* parent = nullptr);
    ~TesselDialog() override;

    enum class State { Empty, Loaded, Parsed };

    // For the dialogs, tests and scripts.
    State state() const { return m_state; }
    bool busy() const { return m_busy; }
    bool isNewType() const { return m_img.is_new; }
    bool internalMode() const { return m_internal; }
    QString lastMessage() const { return m_lastMessage; }
    QString softwareVersion() const { return QString::fromStdString(m_img.version); }
    QString scriptPath() const;
    QStringList blockRows() const;  // "ID  Size  CRC  Name  Version  Time" per block
    tesselnewfmtdlg* newFormatDialog() const;
    TesselSubDialog* customerDialog() const;
    CTesselcore& core() { return m_core; }
    tag_dmh_block_node& blockNode() { return m_node; }
    std::vector<uint8_t>& image() { return m_img.bytes; }
    CTesselOldConfig& oldConfig() { return m_oldCfg; }
    bool experts() const;
    const COXToolTipCtrl& tips() const { return m_tips; }

    // A message box ("error" for failures); under the offscreen platform the
    // text goes to the log. The last text stays in lastMessage(); `detail`,
    // when given, is the reason underneath (e.g. the core's own message).
    void message(const QString& text, bool error = true, const QString& detail = QString());
    // Runs `work` off the user-interface thread with the view (and its
    // dialogs) busy, then `done` on the user-interface thread. Should the
    // work run out of memory, the user gets "no memery!" instead of `done`.
    void runBusy(const QString& what, std::function<void()> work, std::function<void()> done);
    // After an edit of an old-layout image: the header and block list again.
    void refreshOldImage();

public slots:
    void onBrowseSource();
    void onPreParse();
    void onCancel();
    void onBrowseScript();
    void onParse();
    void onBrowseOutput();
    void onExport();

private:
    QWidget* buildPreParseBox();
    QWidget* buildHeaderBox();
    QWidget* buildBlockBox();
    QWidget* buildParseBox();
    QWidget* buildExportBox();
    QWidget* buildBusyRow();
    void addTips();
    void connectControls();
    void setBusy(bool on, const QString& what = QString());
    void showLoaded(bool on);
    void fillBlockList();
    void closeDialogs();
    void freeImage();
    void parseOld();
    void newFormatClosed();

    QLineEdit* m_srcPath = nullptr;
    QPushButton* m_srcBrowse = nullptr;
    QPushButton* m_preParse = nullptr;
    QPushButton* m_cancel = nullptr;
    QCheckBox* m_expertsBox = nullptr;
    QComboBox* m_codePage = nullptr;
    QLabel* m_sdramLabel = nullptr;
    QLabel* m_flashLabel = nullptr;
    QLabel* m_countLabel = nullptr;
    QLabel* m_versionLabel = nullptr;
    QTreeWidget* m_blockList = nullptr;
    QGroupBox* m_parseBox = nullptr;
    QGroupBox* m_exportBox = nullptr;
    QWidget* m_scriptRow = nullptr;
    QLineEdit* m_scriptEdit = nullptr;
    QPushButton* m_scriptBrowse = nullptr;
    QPushButton* m_parse = nullptr;
    QLineEdit* m_outPath = nullptr;
    QPushButton* m_outBrowse = nullptr;
    QPushButton* m_export = nullptr;
    QWidget* m_content = nullptr;
    QLabel* m_busyLabel = nullptr;
    QProgressBar* m_busyBar = nullptr;
    COXToolTipCtrl m_tips;

    CTesselcore m_core;
    tag_dmh_block_node m_node{};
    CTesselOldConfig m_oldCfg{&m_core};
    tessel_image_t m_img;
    bool m_internal = false;
    bool m_busy = false;
    State m_state = State::Empty;
    QString m_scriptDefault;  // the source's folder, plus the software version
    QString m_lastMessage;
    QFuture<void> m_future;
    QPointer<tesselnewfmtdlg> m_newFmt;
    QPointer<TesselSubDialog> m_sub;
};
