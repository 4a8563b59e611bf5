// A job observer for tool views: the job calls it on its worker thread, and
// every report arrives as a signal on the thread the observer lives on (the
// user-interface thread), in the order the job made them.
//
//     m_obs = new QueuedJobObserver(this);
//     connect(m_obs, &QueuedJobObserver::status, m_statusLabel, &QLabel::setText);
//     connect(m_obs, &QueuedJobObserver::progress, m_bar, &QProgressBar::setValue);
//     connect(m_obs, &QueuedJobObserver::finished, this, &CDialogUPG::onJobFinished);
//     job.run(*m_obs);   // on the worker thread
//
// Reports still queued when the observer is destroyed are dropped. The view
// must end (cancel and join) its jobs before the observer goes away.
#pragma once

#include "JobObserver.h"

#include <QObject>
#include <QString>

class QueuedJobObserver : public QObject, public IJobObserver {
    Q_OBJECT
public:
    explicit QueuedJobObserver(QObject* parent = nullptr);
    ~QueuedJobObserver() override;

    // IJobObserver, callable from any thread.
    void OnStatus(const std::string& text) override;
    void OnProgress(int percent) override;
    void OnPhase(const std::string& name) override;
    void OnButtonsEnabled(bool enabled) override;
    void OnFinished(bool ok, const std::string& error) override;

signals:
    void status(const QString& text);
    void progress(int percent);  // clamped to 0..100
    void phase(const QString& name);
    void buttonsEnabled(bool enabled);
    void finished(bool ok, const QString& error);

private:
    template <class F>
    void post(F&& f);
};
