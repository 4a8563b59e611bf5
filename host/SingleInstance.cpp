#include "SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace corvane {

SingleInstanceGuard::SingleInstanceGuard(QObject* parent) : QObject(parent) {}
SingleInstanceGuard::~SingleInstanceGuard() = default;

QString SingleInstanceGuard::GuardName()
{
    return QString::fromStdString(platform::InstanceGuardName());
}

bool SingleInstanceGuard::AskRunningInstanceToRaise(int timeout_ms)
{
    const QString name = GuardName();
    if (name.isEmpty())
        return false;
    QLocalSocket sock;
    sock.connectToServer(name);
    if (!sock.waitForConnected(timeout_ms))
        return false;
    sock.write("raise\n");
    sock.waitForBytesWritten(timeout_ms);
    sock.disconnectFromServer();
    return true;
}

bool SingleInstanceGuard::Publish(std::function<void()> on_raise)
{
    const QString name = GuardName();
    if (name.isEmpty() || m_server)
        return false;
    m_onRaise = std::move(on_raise);
    {
        // Someone published in the meantime: leave theirs alone.
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(200))
            return false;
    }
    if (!m_claim.Claim())
        return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        QLocalServer::removeServer(name);  // left by a crashed instance
        if (!m_server->listen(name)) {
            delete m_server;
            m_server = nullptr;
            m_claim.Release();
            return false;
        }
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = m_server->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [this, s] {
                if (s->readAll().contains("raise") && m_onRaise)
                    m_onRaise();
            });
        }
    });
    return true;
}

}  // namespace corvane
