#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <functional>

class QNetworkAccessManager;

namespace Kelvane {

struct LlmConfig {
    QString apiKey;
    QString apiUrl = QStringLiteral("https://api.deepseek.com/v1/chat/completions");
    QString model = QStringLiteral("deepseek-chat");
    float temperature = 0.7f;
    int maxTokens = 2000;
};

struct ChatMessage {
    QString role;
    QString content;
};

using ResponseCallback = std::function<void(const QString &content, bool isDone)>;
using ErrorCallback = std::function<void(const QString &error)>;

struct ReplyContext {
    ResponseCallback responseCallback;
    ErrorCallback errorCallback;
    QString buffer;
    // Bytes of a UTF-8 character cut off at the end of the previous read.
    QByteArray undecodedTail;
};

// Streaming chat-completion requests (server-sent events), several in flight at once.
class LLMClient : public QObject {
    Q_OBJECT

public:
    explicit LLMClient(QObject *parent = nullptr);
    ~LLMClient() override;

    void setConfig(const LlmConfig &config);
    void sendChatRequest(const QList<ChatMessage> &messages, ResponseCallback responseCallback,
                         ErrorCallback errorCallback);
    void cancelAllRequests();

    // The request body exactly as it goes on the wire.
    QByteArray buildRequestBody(const QList<ChatMessage> &messages) const;
    int activeReplyCount() const { return int(activeReplies.size()); }

private slots:
    void onReadyRead(QNetworkReply *reply);
    void onFinished(QNetworkReply *reply);
    void onError(QNetworkReply *reply, QNetworkReply::NetworkError error);

private:
    void processLine(QNetworkReply *reply, ReplyContext &context, const QString &line,
                     int lineNumber);

    QNetworkAccessManager *networkManager = nullptr;
    LlmConfig config;
    QMap<QNetworkReply *, ReplyContext> activeReplies;
};

// Splits off the bytes of a UTF-8 sequence that is cut short at the end of data; returns them
// and leaves only complete sequences (or invalid bytes, which decode as usual) in data.
QByteArray takeIncompleteUtf8Tail(QByteArray &data);

} // namespace Kelvane
