#include "QueuedJobObserver.h"

#include <QMetaObject>

#include <algorithm>

QueuedJobObserver::QueuedJobObserver(QObject* parent) : QObject(parent) {}
QueuedJobObserver::~QueuedJobObserver() = default;

template <class F>
void QueuedJobObserver::post(F&& f)
{
    // A queued call bound to `this`: Qt drops it if the observer is gone by
    // the time the event loop reaches it.
    QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
}

void QueuedJobObserver::OnStatus(const std::string& text)
{
    QString t = QString::fromUtf8(text.data(), qsizetype(text.size()));
    post([this, t] { emit status(t); });
}

void QueuedJobObserver::OnProgress(int percent)
{
    const int p = std::clamp(percent, 0, 100);
    post([this, p] { emit progress(p); });
}

void QueuedJobObserver::OnPhase(const std::string& name)
{
    QString t = QString::fromUtf8(name.data(), qsizetype(name.size()));
    post([this, t] { emit phase(t); });
}

void QueuedJobObserver::OnButtonsEnabled(bool enabled)
{
    post([this, enabled] { emit buttonsEnabled(enabled); });
}

void QueuedJobObserver::OnFinished(bool ok, const std::string& error)
{
    QString t = QString::fromUtf8(error.data(), qsizetype(error.size()));
    post([this, ok, t] { emit finished(ok, t); });
}
