// The "UPG" tab: upgrade the whole flash of an STB from an image file, or
// dump its flash into a file.
#pragma once

#include "ToolTipCtrl.h"
#include "TabRecord.h"
#include "UpgJob.h"

#include <QWidget>

#include <atomic>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QueuedJobObserver;
class CKvWorkThread;

class CDialogUPG : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit CDialogUPG(QWidget* parent = nullptr);
    ~CDialogUPG() override;

    // For tests and scripts: the last user error shown, and the dump size.
    QString lastMessage() const { return m_lastMessage; }
    uint32_t dumpSize() const { return m_dumpSize; }
    int userLimitMode() const { return m_userLimit; }
    bool jobRunning() const { return m_upgRunning.load() || m_dumpRunning.load(); }

public slots:
    void onChooseImage();
    void onChooseDumpFile();
    void onStart();
    void onExit();
    void onDump();
    void onCancel();
    void onSend();
    void onUpgProjectChanged(int index);
    void onDumpSizeChanged(int index);

private:
    QGroupBox* BuildUpgradeBox();
    QGroupBox* BuildDumpBox();
    void ConnectSignals();
    void error(const QString& text);
    void setUpgradeButtons(bool enabled);
    void setDumpButtons(bool enabled);
    void jobEnded(bool dump);
    // Runs `job` on `thread`, reporting through `obs`. False when the thread did not start.
    bool startJob(CKvWorkThread& thread, reflasher::UpgJob* job, std::shared_ptr<corvane::TabRecord> record);
    void stopThreads();

    // Controls, by their role.
    QLineEdit* m_imagePath = nullptr;  // 5001
    QPushButton* m_chooseImage = nullptr;  // 5002
    QProgressBar* m_upgProgress = nullptr;  // 5003
    QPushButton* m_start = nullptr;  // 5004
    QPushButton* m_exit = nullptr;  // 5005
    QComboBox* m_dumpSizeList = nullptr;  // 5007
    QLineEdit* m_dumpPath = nullptr;  // 5008
    QPushButton* m_chooseDump = nullptr;  // 5009
    QProgressBar* m_dumpProgress = nullptr;  // 5010
    QPushButton* m_dump = nullptr;  // 5011
    QPushButton* m_cancel = nullptr;  // 5012
    QLabel* m_upgStatus = nullptr;  // 5013
    QLabel* m_dumpStatus = nullptr;  // 5014
    QComboBox* m_upgProject = nullptr;  // 5015
    QLineEdit* m_command = nullptr;  // 5016
    QPushButton* m_send = nullptr;  // 5017
    QComboBox* m_dumpProject = nullptr;  // 5018
    COXToolTipCtrl m_tips;

    QueuedJobObserver* m_upgObserver = nullptr;
    QueuedJobObserver* m_dumpObserver = nullptr;

    uint32_t m_dumpSize = reflasher::kDumpSizes[0];
    int m_userLimit = 1;
    QString m_lastMessage;

    // Job state shared with the worker threads.
    std::atomic<bool> m_jobCancel{false};
    std::atomic<bool> m_shellCancel{false};
    std::atomic<bool> m_keepGoing{false};
    std::atomic<bool> m_upgRunning{false};
    std::atomic<bool> m_dumpRunning{false};
    std::atomic<bool> m_dumpIsJob{false};  // a dump of project types 1 to 7 runs on the job thread
    std::unique_ptr<CKvWorkThread> m_jobThread;
    std::unique_ptr<CKvWorkThread> m_shellThread;
    std::unique_ptr<bootlink::JobContext> m_jobCtx;
    std::unique_ptr<bootlink::JobContext> m_shellCtx;
    std::unique_ptr<reflasher::UpgJob> m_job;
    std::unique_ptr<reflasher::UpgJob> m_shellJob;
};
