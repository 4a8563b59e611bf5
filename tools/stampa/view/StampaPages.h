// The burn pages of the "Stampa" tab, one per chip platform.
//
// A page only shows, collects input and starts runs: the passes run on a
// worker thread in the core (StampaRun) and reach the page through
// IPassHost, whose calls are queued onto the user-interface thread.
#pragma once

#include "BurnLog.h"
#include "StampaPage.h"
#include "StampaPass.h"

#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class CKvWorkThread;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;

// What every page has: "Bar Code:", "Start", "Stop", the status line, the
// result list, and the run on its worker thread.
class CStampaPageBase : public QWidget {
    Q_OBJECT
public:
    CStampaPageBase(stampa::Platform platform, QWidget* parent);
    ~CStampaPageBase() override;

    stampa::Platform platform() const { return m_platform; }
    bool running() const { return m_running; }
    // The last message shown to the operator (for tests and scripts).
    QString lastMessage() const { return m_lastMessage; }
    QString statusText() const;
    // Offscreen there is nobody to click the "Warning" boxes: their answers.
    void setOverwriteAnswer(bool yes) { m_overwriteAnswer = yes; }
    void setReuseAnswer(bool yes) { m_reuseAnswer = yes; }
    // Scales the fixed waits of the passes (1 on real boxes).
    void setPauseScale(double scale) { m_pauseScale = scale; }

public slots:
    virtual void onStart() = 0;
    virtual void onStop();

signals:
    // A run ended (after the page took back its controls).
    void runEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Enter anywhere: a new scan, the focus to "Stop". Escape is swallowed.
    void keyPressEvent(QKeyEvent* event) override;

    // Starts a run of `config` with `log`; `reuse` is a code logged "Failed"
    // that the operator chose to burn again. False, with the message shown and
    // the controls given back, when the run does not start.
    bool startRun(const stampa::PassConfig& config, std::unique_ptr<stampa::BurnLog> log,
                  const std::string& reuse = {});
    void stopRun();
    void error(const QString& text);
    void setStatus(const QString& text);
    // Runs `fn` on the user-interface thread, after what is queued already.
    void post(std::function<void()> fn);
    void watchKeys();
    bool portOpen() const;
    // The page takes back its controls when a run has ended.
    virtual void afterRun() = 0;
    // After each pass, on the user-interface thread.
    virtual void afterPass(const stampa::PassResult& /*r*/) {}

    // Asks whether a code logged "Failed" (a box may hold it) is burnt again.
    bool askReuse(const std::string& code);

    void setBarCode(const QString& text);
    void addResultRow(const QString& code, const QString& status);

    const stampa::Platform m_platform;
    const stampa::PlatformInfo& m_info;
    stampa::CodeCursor m_cursor;

    QLineEdit* m_barCode = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QLabel* m_status = nullptr;
    QTreeWidget* m_results = nullptr;

    double m_pauseScale = 1.0;

private:
    class Host;
    class RunObserver;
    void runFinished();
    bool askOverwrite();

    std::unique_ptr<Host> m_host;
    std::unique_ptr<stampa::BurnLog> m_log;
    std::unique_ptr<RunObserver> m_runObserver;
    std::unique_ptr<stampa::StampaRun> m_run;
    std::unique_ptr<CKvWorkThread> m_thread;
    // Which run the page shows: reports of a run that has been replaced are
    // dropped (a Stop and a Start in quick succession).
    int m_runSerial = 0;
    std::atomic<bool> m_newScan{false};
    std::atomic<bool> m_overwriteAnswer{false};
    std::atomic<bool> m_reuseAnswer{false};
    bool m_running = false;
    QString m_lastMessage;
};

// Alder, Cedar and Dogwood: 'p' chunks, a burn log, four input types.
class CStampaChunkPage : public CStampaPageBase {
    Q_OBJECT
public:
    CStampaChunkPage(stampa::Platform platform, QWidget* parent);

public slots:
    void onOk();
    void onStart() override;
    void onNext();
    void onCancel();
    void onBrowse();
    void onInputTypeChanged(int index);
    void onCodeSelected(int row);

protected:
    void afterRun() override;
    void afterPass(const stampa::PassResult& r) override;

private:
    stampa::InputType inputType() const;
    int width() const;
    std::unique_ptr<stampa::BurnLog> makeLog() const;
    void lockConfig(bool locked);
    void setRunControls(bool running);

    QComboBox* m_inputType = nullptr;
    QLineEdit* m_width = nullptr;
    QLineEdit* m_startCode = nullptr;
    QComboBox* m_step = nullptr;
    QComboBox* m_base = nullptr;
    QLineEdit* m_logFile = nullptr;
    QPushButton* m_browse = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_cancel = nullptr;
    QListWidget* m_codeList = nullptr;
    QLabel* m_baseLabel = nullptr;
};

class StampaAlder : public CStampaChunkPage {
    Q_OBJECT
public:
    explicit StampaAlder(QWidget* parent = nullptr) : CStampaChunkPage(stampa::Platform::Alder, parent) {}
};

class CStampaCedar : public CStampaChunkPage {
    Q_OBJECT
public:
    explicit CStampaCedar(QWidget* parent = nullptr) : CStampaChunkPage(stampa::Platform::Cedar, parent) {}
};

class CStampaDogwood : public CStampaChunkPage {
    Q_OBJECT
public:
    explicit CStampaDogwood(QWidget* parent = nullptr) : CStampaChunkPage(stampa::Platform::Dogwood, parent) {}
};

// Birch: the boot ROM wakes the page, the client is downloaded, one 'X'.
class CStampaBirchCommon : public CStampaPageBase {
    Q_OBJECT
public:
    explicit CStampaBirchCommon(QWidget* parent = nullptr);

public slots:
    void onStart() override;
    void onStop() override;
    void onInputTypeChanged(int index);

protected:
    void afterRun() override;

private:
    QComboBox* m_inputType = nullptr;
    QLineEdit* m_width = nullptr;
    QCheckBox* m_edit = nullptr;
};
