#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class QWebSocket;

namespace Kelvane {

// One WebSocket whose events become optional callbacks. Subclasses assign the callbacks.
class WebSocketClient : public QObject {
    Q_OBJECT

public:
    static constexpr quint64 kMaxIncomingMessageBytes = 4 * 1024 * 1024;

    explicit WebSocketClient(QObject *parent = nullptr);
    ~WebSocketClient() override;

    void connectToServer(const QString &url, const QMap<QString, QString> &headers);
    void disconnectFromServer();
    // Safe from any thread: reads the state last published by the socket's thread.
    bool isConnected() const;
    void sendBinary(const QByteArray &data);

protected:
    QWebSocket *webSocket_ = nullptr;

public:
    std::function<void()> onConnected;
    std::function<void()> onDisconnected;
    std::function<void(const QString &)> onTextMessage;
    std::function<void(const QByteArray &)> onBinaryMessage;
    std::function<void(const QString &)> onError;

private slots:
    void onConnectedSlot();
    void onDisconnectedSlot();
    void onTextMessageReceived(const QString &message);
    void onBinaryMessageReceived(const QByteArray &message);
    void onErrorOccurred(QAbstractSocket::SocketError error);

private:
    std::atomic<bool> connected_{false};
};

} // namespace Kelvane
