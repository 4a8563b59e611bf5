// The "skycaster" tab: pick a flash image and a project type (DVBS, ABS,
// DSMCC), fill in the project's page, and generate the over-the-air upgrade
// stream "ota.m2t" in the program folder, optionally merged into another
// stream as "upgrade.ts". Streams are built on a worker thread while the
// progress bar moves.
#pragma once

#include "KvBasicCfgIni.h"
#include "OtaGenerators.h"
#include "OtaSettings.h"

#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class COXToolTipCtrl;
class CRedirect;
class CKvWorkThread;
class QueuedJobObserver;
class COtaPage;
class CDvbsPage;
class CAbsPage;
class CDsmccPage;

class OTAStreamerDialog : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit OTAStreamerDialog(QWidget* parent = nullptr);
    ~OTAStreamerDialog() override;

    // The steps behind the buttons, without the file dialogs.
    void LoadBinary(const QString& path);
    void ChooseMergeFile(const QString& path);
    void Generate();
    void NextGroup();
    void Clear();

    // The project kind of each drop-down entry, in order.
    const std::vector<int>& Projects() const { return m_settings.projects; }
    int GroupCount() const { return m_dvbs1.group_count(); }
    bool IsBusy() const { return m_busy; }
    // The last text shown to the operator (message box or report).
    QString LastMessage() const { return m_lastMessage; }

private slots:
    void OnBrowseBinary();
    void OnBrowseMerge();
    void OnProjectChanged(int index);

private:
    struct JobPlan;
    void BuildUi();
    void BuildProjectRows(QWidget* box, QGridLayout* grid);
    void BuildPages(QWidget* box, QGridLayout* grid);
    void BuildGroupRow(QWidget* box, QGridLayout* grid);
    void BuildStreamSettings(QWidget* box, QGridLayout* grid);
    void BuildRunRow(QWidget* box, QGridLayout* grid);
    void Show(const QString& text, bool error);
    int CurrentProject() const;
    COtaPage* PageOf(int project) const;
    void ResetPageForImage(int project);
    bool ReadLayout(ota::StreamLayout& layout);
    bool PrepareGroup(JobPlan& plan);
    void StartJob(std::unique_ptr<JobPlan> plan);
    bool RunJob(JobPlan& plan, QueuedJobObserver* obs);
    void OnJobFinished(bool ok, const QString& error);
    void SetBusy(bool busy);
    void DropImage();

    // Settings, generators and the loaded image.
    CKvBasicCfgIni m_ini;
    ota::OtaStreamerSettings m_settings;
    std::unique_ptr<CRedirect> m_redirect;
    ota::OTA_M2T_Generator m_m2t;
    ota::OTA_DVBS_Stream_Generator m_dvbs;
    ota::OTA_DVBS1_Stream_Generator m_dvbs1;
    ota::OTA_ABS_Stream_Generator m_abs;
    std::vector<uint8_t> m_image;

    // The worker that builds streams, and what it reports.
    std::unique_ptr<CKvWorkThread> m_thread;
    std::unique_ptr<JobPlan> m_plan;
    QueuedJobObserver* m_observer = nullptr;
    bool m_busy = false;

    QComboBox *m_project = nullptr, *m_packetSize = nullptr;
    QCheckBox *m_compress = nullptr, *m_split = nullptr, *m_force = nullptr, *m_activateMerger = nullptr;
    QLineEdit *m_binPath = nullptr, *m_groupNum = nullptr, *m_repeat = nullptr, *m_upgPid = nullptr,
              *m_loopTimes = nullptr, *m_mergePath = nullptr;
    QPushButton *m_browseBin = nullptr, *m_browseMerge = nullptr, *m_nextGroup = nullptr, *m_generate = nullptr,
                *m_clear = nullptr;
    QTabWidget* m_tabs = nullptr;
    QProgressBar* m_progress = nullptr;
    COXToolTipCtrl* m_tips = nullptr;
    CDvbsPage* m_dvbsPage = nullptr;
    CAbsPage* m_absPage = nullptr;
    CDsmccPage* m_dsmccPage = nullptr;
    QString m_lastMessage;
};
