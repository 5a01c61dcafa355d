#include "CommandChannel.h"

#include "Log.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

namespace Kelvane {

namespace {

constexpr qint64 kMaxLine = 64; // an action's name, nothing more

} // namespace

CommandServer::CommandServer(Handler handle, QObject *parent)
    : QObject(parent)
    , handler(std::move(handle))
    , server(new QLocalServer(this)) {
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &CommandServer::onConnection);
}

CommandServer::~CommandServer() = default;

bool CommandServer::listen() {
    const QString name = commandServerName();
    if (server->listen(name))
        return true;
    // A socket nobody answers on was left by a run that ended without closing it.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(500)) {
        Log::err("[Commands] Another Kelvane already listens on ", name);
        return false;
    }
    QLocalServer::removeServer(name);
    if (server->listen(name)) {
        Log::out("[Commands] Took over a socket left behind: ", name);
        return true;
    }
    Log::err("[Commands] Cannot listen on ", name, ": ", server->errorString());
    return false;
}

void CommandServer::onConnection() {
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket = QPointer(socket)]() {
            if (!socket || !socket->canReadLine()) {
                if (socket && socket->bytesAvailable() > kMaxLine)
                    socket->abort();
                return;
            }
            const QString action = QString::fromUtf8(socket->readLine(kMaxLine)).trimmed();
            const bool known = handler && handler(action);
            Log::out("[Commands] ", action, known ? " carried out" : ": unknown");
            if (socket) {
                socket->write(known ? "ok\n" : "unknown\n");
                socket->disconnectFromServer();
            }
        });
    }
}

int CommandClient::deliver(const QString &action, QString *reason, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(commandServerName());
    if (!socket.waitForConnected(timeoutMs)) {
        if (reason)
            *reason = QStringLiteral("Kelvane 没有在运行（%1）").arg(socket.errorString());
        return 2;
    }
    socket.write(action.toUtf8() + '\n');
    socket.flush();
    while (!socket.canReadLine() && socket.waitForReadyRead(timeoutMs)) {
    }
    const QByteArray answer = socket.readLine(kMaxLine).trimmed();
    if (answer == "ok")
        return 0;
    if (reason)
        *reason = answer == "unknown" ? QStringLiteral("正在运行的 Kelvane 不认识 %1").arg(action)
                                      : QStringLiteral("正在运行的 Kelvane 没有回应");
    return 2;
}

} // namespace Kelvane
