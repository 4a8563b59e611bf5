// The "UPGBLOCK" tab: replaces one block of a box's flash (or the whole
// flash) from a file, after the box's upgrade client listed its blocks.
#pragma once

#include "BlockKinds.h"
#include "BlockUpgJob.h"
#include "ToolTipCtrl.h"

#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QueuedJobObserver;
class WorkerRun;

class CDialogBlockUPG : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit CDialogBlockUPG(QWidget* parent = nullptr);
    ~CDialogBlockUPG() override;

    // Picks the file of a burn button: the open dialog of the kind, or what
    // a test puts in its place. An empty path means the dialog was cancelled.
    using FileChooser = std::function<QString(const sectorsmith::BlockKind&)>;
    void setFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }
    // Scales the fixed pauses of the exchanges (tests against the virtual STB).
    void setPauseScale(double scale) { m_pauseScale = scale; }

    // For tests: the last user error shown, whether a worker runs, and the
    // last job's result.
    QString lastMessage() const { return m_lastMessage; }
    bool busy() const;
    sectorsmith::BlockJobResult lastResult() const { return m_lastResult; }
    // The Qt filter of an MFC-style filter ("A|*.a|B|*.b||").
    static QString qtFilter(const char* mfcFilter);

public slots:
    void onBurn(int kindIndex);
    void onExit();
    void onPlatformChanged(int position);

private:
    void error(const QString& text);
    QString chooseFile(const sectorsmith::BlockKind& kind);
    bool readFile(const QString& path);
    void startWorker(uint8_t id);
    void setBurnButtons(bool enabled);
    void jobEnded(const sectorsmith::BlockJobResult& r);
    void letWorkerGo();
    const bootlink::Platform& platform() const;

    std::vector<QPushButton*> m_burn;  // in block_kinds() order
    QPushButton* m_exit = nullptr;
    QComboBox* m_project = nullptr;
    QLabel* m_status = nullptr;
    QProgressBar* m_progress = nullptr;
    COXToolTipCtrl m_tips;
    QueuedJobObserver* m_observer = nullptr;

    FileChooser m_chooser;
    double m_pauseScale = 1.0;
    QString m_lastMessage;
    QString m_path;  // the selected file
    std::vector<uint8_t> m_file;  // its contents

    // The running job: its context, flags and thread, which it keeps when
    // the view goes before it ends.
    struct Job;
    std::shared_ptr<Job> m_job;
    std::shared_ptr<WorkerRun> m_run;
    uint64_t m_generation = 0;  // counts the workers started (user-interface thread only)
    sectorsmith::BlockJobResult m_lastResult;
};
