// One workbench per user: a second start asks the first to come to the front
// and exits. The guard is a local server named
// "SingleInstanceChecker_MMF_CORVANE" in the user's private runtime folder,
// so two users of one machine never meet each other's guard (the name and,
// on Windows, the named mutex beside it: platform/InstanceClaim.h).
#pragma once

#include "InstanceClaim.h"

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

namespace corvane {

class SingleInstanceGuard : public QObject {
    Q_OBJECT
public:
    explicit SingleInstanceGuard(QObject* parent = nullptr);
    ~SingleInstanceGuard() override;

    // Full path of the guard; empty when the runtime folder is unusable.
    static QString GuardName();
    // True when a running instance answered and was asked to come forward.
    bool AskRunningInstanceToRaise(int timeout_ms = 1000);
    // Starts answering; `on_raise` runs on this thread for each later start.
    // False when another instance published first or the guard is unusable.
    bool Publish(std::function<void()> on_raise);

private:
    QLocalServer* m_server = nullptr;
    platform::InstanceClaim m_claim;
    std::function<void()> m_onRaise;
};

}  // namespace corvane
