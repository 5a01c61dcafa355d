#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

namespace Kelvane {

// Actions handed to the running Kelvane by another kelvane process (a desktop's own shortcut,
// a stream deck, a script): one line over a local socket named for this user, answered "ok"
// when the action was carried out. On Linux the socket lives in the user's runtime folder,
// which only the user can enter; on Windows the pipe admits only the user who made it.
class CommandServer : public QObject {
    Q_OBJECT

public:
    // Carries an action out; false for one it does not know.
    using Handler = std::function<bool(const QString &action)>;

    explicit CommandServer(Handler handler, QObject *parent = nullptr);
    ~CommandServer() override;

    // Listens under the user's name; a socket a crashed run left behind is taken over. False
    // when it cannot (the log says why): the program runs on without commands.
    bool listen();

private:
    void onConnection();

    Handler handler;
    QLocalServer *server;
};

namespace CommandClient {

// The exit code of `kelvane --skip` and its kin: 0 when the running Kelvane carried the action
// out; otherwise 2 with why in `reason` (none runs, or it did not answer).
int deliver(const QString &action, QString *reason, int timeoutMs = 3000);

} // namespace CommandClient

// The name the running Kelvane listens under, for this user (per platform).
QString commandServerName();

} // namespace Kelvane
