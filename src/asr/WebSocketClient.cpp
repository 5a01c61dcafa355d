#include "WebSocketClient.h"

#include "Log.h"
#include "Settings.h"

#include <QNetworkRequest>
#include <QSignalBlocker>
#include <QUrl>
#include <QWebSocket>

namespace Kelvane {

WebSocketClient::WebSocketClient(QObject *parent)
    : QObject(parent)
    , webSocket_(new QWebSocket(QString(), QWebSocketProtocol::Version13, this)) {
    // A recogniser's replies are a few kilobytes; a peer that sends more is not one, and must
    // not make this process hold gigabytes.
    webSocket_->setMaxAllowedIncomingMessageSize(kMaxIncomingMessageBytes);
    webSocket_->setMaxAllowedIncomingFrameSize(kMaxIncomingMessageBytes);
    connect(webSocket_, &QWebSocket::connected, this, &WebSocketClient::onConnectedSlot);
    connect(webSocket_, &QWebSocket::disconnected, this, &WebSocketClient::onDisconnectedSlot);
    connect(webSocket_, &QWebSocket::textMessageReceived, this,
            &WebSocketClient::onTextMessageReceived);
    connect(webSocket_, &QWebSocket::binaryMessageReceived, this,
            &WebSocketClient::onBinaryMessageReceived);
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    connect(webSocket_, &QWebSocket::errorOccurred, this, &WebSocketClient::onErrorOccurred);
#else
    connect(webSocket_, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &WebSocketClient::onErrorOccurred);
#endif
    // The capture thread asks isConnected(); publish the socket state as it changes.
    connect(webSocket_, &QWebSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState state) {
                connected_.store(state == QAbstractSocket::ConnectedState);
            });
}

WebSocketClient::~WebSocketClient() {
    // Closing can report the disconnection at once; nothing may reach a subclass that is
    // already gone, so detach everything first.
    webSocket_->disconnect(this);
    onConnected = nullptr;
    onDisconnected = nullptr;
    onTextMessage = nullptr;
    onBinaryMessage = nullptr;
    onError = nullptr;
    if (webSocket_->state() == QAbstractSocket::ConnectedState)
        webSocket_->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void WebSocketClient::connectToServer(const QString &url, const QMap<QString, QString> &headers) {
    // A socket left half open (or still closing) from an earlier connection must not carry
    // over into this one, nor report that earlier connection's end as this one's.
    if (webSocket_->state() != QAbstractSocket::UnconnectedState) {
        const QSignalBlocker quiet(webSocket_);
        webSocket_->abort();
        connected_.store(false);
    }
    Log::out("[WebSocketClient] Connecting to: ", url);
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
        // Credentials never reach the log whole.
        const bool secret = it.key() == QLatin1String("X-Api-Access-Key") ||
                            it.key() == QLatin1String("X-Api-App-Key");
        Log::out("[WebSocketClient] Header: ", it.key(), " = ",
                 secret ? maskedSecret(it.value()) : it.value());
    }
    webSocket_->open(request);
}

void WebSocketClient::disconnectFromServer() {
    const QAbstractSocket::SocketState state = webSocket_->state();
    if (state == QAbstractSocket::UnconnectedState || state == QAbstractSocket::ClosingState)
        return;
    if (state != QAbstractSocket::ConnectedState) {
        // Still in the handshake: nothing to close politely, and it must not complete later.
        Log::out("[WebSocketClient] Aborting the connection attempt");
        webSocket_->abort();
        return;
    }
    Log::out("[WebSocketClient] Disconnecting...");
    webSocket_->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

bool WebSocketClient::isConnected() const {
    return connected_.load();
}

void WebSocketClient::sendBinary(const QByteArray &data) {
    if (webSocket_->state() != QAbstractSocket::ConnectedState) {
        Log::err("[WebSocketClient] Cannot send binary: not connected");
        return;
    }
    webSocket_->sendBinaryMessage(data);
}

void WebSocketClient::onConnectedSlot() {
    Log::out("[WebSocketClient] Connected");
    if (onConnected)
        onConnected();
}

void WebSocketClient::onDisconnectedSlot() {
    Log::out("[WebSocketClient] Disconnected");
    if (onDisconnected)
        onDisconnected();
}

void WebSocketClient::onTextMessageReceived(const QString &message) {
    if (onTextMessage)
        onTextMessage(message);
}

void WebSocketClient::onBinaryMessageReceived(const QByteArray &message) {
    if (onBinaryMessage)
        onBinaryMessage(message);
}

void WebSocketClient::onErrorOccurred(QAbstractSocket::SocketError) {
    const QString errorText = webSocket_->errorString();
    Log::err("[WebSocketClient] Error: ", errorText);
    if (onError)
        onError(errorText);
}

} // namespace Kelvane
