#pragma once

#include "EventStream.h"

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
    QString model = QStringLiteral("deepseek-flash");
    float temperature = 0.7f;
    int maxTokens = 2000;
    bool thinking = false; // off: DeepSeek's endpoint is told so ("thinking": disabled)
};

struct ChatMessage {
    QString role;
    QString content;
};

using ResponseCallback = std::function<void(const QString &content, bool isDone)>;
using ErrorCallback = std::function<void(const QString &error)>;
// The service is reasoning before it answers (reasoning_content deltas, no content yet).
using ReasoningCallback = std::function<void()>;

struct ReplyContext {
    ResponseCallback responseCallback;
    ErrorCallback errorCallback;
    ReasoningCallback reasoningCallback;
    EventStreamBuffer stream; // the unfinished line and character of the last read
    QByteArray errorBody;     // the body of an HTTP error answer (its start)
    bool done = false;        // the end marker arrived
    bool failed = false;      // the error callback was called
    int id = 0;
};

// Streaming chat-completion requests (server-sent events), several in flight at once.
class LLMClient : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 kMaxModelListBytes = 4 * 1024 * 1024;

    explicit LLMClient(QObject *parent = nullptr);
    ~LLMClient() override;

    void setConfig(const LlmConfig &config);
    // Returns the request's id for cancelRequest, or 0 when no request was made.
    int sendChatRequest(const QList<ChatMessage> &messages, ResponseCallback responseCallback,
                        ErrorCallback errorCallback, ReasoningCallback reasoningCallback = nullptr);
    // Aborts one request; nothing more of it reaches its callbacks.
    void cancelRequest(int requestId);
    // The model ids of the endpoint's OpenAI-compatible GET .../models, or an error text.
    void fetchModels(std::function<void(const QStringList &models, const QString &error)> done);
    void cancelAllRequests();

    // The request body exactly as it goes on the wire.
    QByteArray buildRequestBody(const QList<ChatMessage> &messages) const;
    int activeReplyCount() const { return int(activeReplies.size()); }

signals:
    // A request left the registry: answered, failed or cut off (not when cancelled).
    void replyFinished();

private slots:
    void onReadyRead(QNetworkReply *reply);
    void onFinished(QNetworkReply *reply);
    void onError(QNetworkReply *reply, QNetworkReply::NetworkError error);

private:
    void fail(QNetworkReply *reply, const QString &error);

    QNetworkAccessManager *networkManager = nullptr;
    LlmConfig config;
    QMap<QNetworkReply *, ReplyContext> activeReplies;
    int lastRequestId = 0;
};

} // namespace Kelvane
