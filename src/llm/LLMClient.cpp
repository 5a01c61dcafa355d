#include "LLMClient.h"

#include "EventStream.h"
#include "Log.h"
#include "Settings.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

#include <memory>

#include <nlohmann/json.hpp>

namespace Kelvane {

using json = nlohmann::json;

namespace {

constexpr int kTransferTimeoutMs = 60000;

const void *address(const QNetworkReply *reply) {
    return static_cast<const void *>(reply);
}

} // namespace

LLMClient::LLMClient(QObject *parent)
    : QObject(parent)
    , networkManager(new QNetworkAccessManager(this)) {}

LLMClient::~LLMClient() {
    cancelAllRequests();
}

void LLMClient::setConfig(const LlmConfig &newConfig) {
    config = newConfig;
}

QByteArray LLMClient::buildRequestBody(const QList<ChatMessage> &messages) const {
    json body;
    body["model"] = config.model.toStdString();
    body["messages"] = json::array();
    body["temperature"] = static_cast<double>(config.temperature);
    body["max_tokens"] = config.maxTokens;
    body["stream"] = true;
    for (const ChatMessage &message : messages)
        body["messages"].push_back(
            {{"role", message.role.toStdString()}, {"content", message.content.toStdString()}});
    // DeepSeek's own switch, sent only to DeepSeek: other endpoints get the body unchanged.
    if (!config.thinking && QUrl(config.apiUrl).host() == QLatin1String("api.deepseek.com"))
        body["thinking"] = {{"type", "disabled"}};
    return QByteArray::fromStdString(body.dump());
}

int LLMClient::sendChatRequest(const QList<ChatMessage> &messages,
                               ResponseCallback responseCallback, ErrorCallback errorCallback,
                               ReasoningCallback reasoningCallback) {
    if (config.apiKey.isEmpty()) {
        if (errorCallback)
            errorCallback(QStringLiteral("API key not configured"));
        return 0;
    }

    const QByteArray body = buildRequestBody(messages);

    QNetworkRequest request(QUrl(config.apiUrl, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", QStringLiteral("Bearer %1").arg(config.apiKey).toUtf8());
    request.setTransferTimeout(kTransferTimeoutMs);

    Log::out("[LLMClient] Sending chat request to: ", config.apiUrl);
    Log::out("[LLMClient] Model: ", config.model);

    QNetworkReply *reply = networkManager->post(request, body);
    Log::out("[LLMClient] Reply created: ", reply ? "YES" : "NO", " (ptr=", address(reply), ")");
    if (!reply)
        return 0; // nothing will ever report on a request that never started

    ReplyContext context;
    context.responseCallback = std::move(responseCallback);
    context.errorCallback = std::move(errorCallback);
    context.reasoningCallback = std::move(reasoningCallback);
    context.id = ++lastRequestId;
    activeReplies.insert(reply, std::move(context));
    Log::out("[LLMClient] Active replies count: ", activeReplies.size());

    connect(reply, &QIODevice::readyRead, this, [this, reply]() { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply]() { onFinished(reply); });
    connect(reply, &QNetworkReply::errorOccurred, this,
            [this, reply](QNetworkReply::NetworkError code) { onError(reply, code); });
    Log::out("[LLMClient] Signal connections established for reply ", address(reply));
    return lastRequestId;
}

void LLMClient::cancelRequest(int requestId) {
    for (auto it = activeReplies.begin(); it != activeReplies.end(); ++it) {
        if (it->id != requestId)
            continue;
        QNetworkReply *reply = it.key();
        activeReplies.erase(it);
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
        Log::out("[LLMClient] Request ", requestId, " cancelled");
        return;
    }
}

void LLMClient::cancelAllRequests() {
    Log::out("[LLMClient] Cancelling all active replies (", activeReplies.size(), " total)");
    // A cancelled request reports nothing: it leaves the registry before it is aborted.
    const QList<QNetworkReply *> replies = activeReplies.keys();
    activeReplies.clear();
    for (QNetworkReply *reply : replies) {
        if (reply) {
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
    }
    Log::out("[LLMClient] All replies cancelled");
}

void LLMClient::fail(QNetworkReply *reply, const QString &error) {
    auto it = activeReplies.find(reply);
    if (it == activeReplies.end() || it->failed)
        return;
    it->failed = true;
    const ErrorCallback callback = it->errorCallback;
    if (callback)
        callback(maskedUrlSecrets(error)); // Qt's texts name the URL, key and all
}

void LLMClient::onReadyRead(QNetworkReply *reply) {
    auto it = activeReplies.find(reply);
    if (!reply || it == activeReplies.end()) {
        Log::out("[LLMClient] onReadyRead: reply not found in activeReplies (ptr=", address(reply),
                 ")");
        return;
    }

    const QByteArray data = reply->readAll();
    Log::out("[LLMClient] Reply ", address(reply), " received ", data.size(), " bytes");
    Log::out("[LLMClient] Data preview: ", data.left(100));

    // An error answer is a JSON document, not a stream: keep its start for the error text.
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400) {
        it->errorBody.append(data.left(64 * 1024 - it->errorBody.size()));
        return;
    }

    int partCount = 0;
    const QStringList lines = it->stream.takeLines(data, partCount);
    Log::out("[LLMClient] Processing ", partCount, " lines");
    if (it->stream.lineTooLong()) {
        Log::err("[LLMClient] Reply ", address(reply), ": a line passed ",
                 EventStreamBuffer::kMaxLineLength, " characters without its end");
        fail(reply, QStringLiteral("事件流的一行过长"));
        reply->abort();
        return;
    }

    // Callbacks may cancel requests and so empty the registry: look the context up each line.
    int lineNumber = 0;
    for (const QString &line : lines) {
        ++lineNumber;
        if (line.isEmpty())
            continue;
        if (!activeReplies.contains(reply))
            return;
        const EventLine event = interpretEventLine(line, lineNumber, address(reply));
        if (event.kind == EventLine::Ignored)
            continue;
        if (event.kind == EventLine::Reasoning) {
            const ReasoningCallback reasoning = activeReplies.value(reply).reasoningCallback;
            if (reasoning)
                reasoning();
            continue;
        }
        if (event.kind == EventLine::Done)
            activeReplies[reply].done = true;
        const ResponseCallback callback = activeReplies.value(reply).responseCallback;
        if (callback)
            callback(event.text, event.kind == EventLine::Done);
    }
}

void LLMClient::onFinished(QNetworkReply *reply) {
    if (reply && activeReplies.contains(reply)) {
        Log::out("[LLMClient] Reply ", address(reply), " finished");
        // A stream that ends without its end marker was cut off, whatever the transport said.
        if (!activeReplies.value(reply).done)
            fail(reply, QStringLiteral("连接在回答结束前关闭"));
        activeReplies.remove(reply);
        Log::out("[LLMClient] Active replies count after removal: ", activeReplies.size());
        reply->deleteLater();
        emit replyFinished();
        return;
    }
    Log::out("[LLMClient] onFinished: reply not found (ptr=", address(reply), ")");
}

void LLMClient::onError(QNetworkReply *reply, QNetworkReply::NetworkError) {
    auto it = activeReplies.find(reply);
    if (!reply || it == activeReplies.end()) {
        Log::out("[LLMClient] onError: reply not found (ptr=", address(reply), ")");
        return;
    }
    QString errorText = reply->errorString();
    Log::err("[LLMClient] Reply ", address(reply), " network error: ", errorText);
    if (it->done)
        return; // the answer is complete: what happens to the connection after does not matter
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        // The service's own words, when its error body says them.
        const QByteArray body = (it->errorBody + reply->readAll()).left(64 * 1024);
        const json document = json::parse(body.toStdString(), nullptr, false);
        QString message;
        if (document.is_object() && document.contains("error")) {
            const json &error = document["error"];
            if (error.is_object() && error.contains("message") && error["message"].is_string())
                message = QString::fromStdString(error["message"].get<std::string>());
            else if (error.is_string())
                message = QString::fromStdString(error.get<std::string>());
        }
        errorText =
            QStringLiteral("HTTP %1 %2").arg(status).arg(message.isEmpty() ? errorText : message);
    }
    fail(reply, errorText);
}

void LLMClient::fetchModels(
    std::function<void(const QStringList &models, const QString &error)> done) {
    QString url = config.apiUrl;
    const QString suffix = QStringLiteral("/chat/completions");
    if (url.endsWith(suffix))
        url.chop(suffix.size());
    QNetworkRequest request(QUrl(url + QStringLiteral("/models"), QUrl::TolerantMode));
    request.setRawHeader("Authorization", QStringLiteral("Bearer %1").arg(config.apiKey).toUtf8());
    request.setTransferTimeout(15000);
    QNetworkReply *reply = networkManager->get(request);
    // A model list is a few kilobytes: a body past the limit is not one, and is not kept.
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [reply, tooLarge](qint64 received, qint64) {
                if (received > kMaxModelListBytes && !*tooLarge) {
                    *tooLarge = true;
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this, [reply, tooLarge, done = std::move(done)]() {
        reply->deleteLater();
        if (*tooLarge) {
            done({}, QStringLiteral("模型列表过大"));
            return;
        }
        const QByteArray body = reply->readAll();
        if (reply->error() != QNetworkReply::NoError) {
            done({}, maskedUrlSecrets(reply->errorString()));
            return;
        }
        QStringList models;
        const json document = json::parse(body.toStdString(), nullptr, false);
        if (document.is_object() && document.contains("data") && document["data"].is_array())
            for (const json &model : document["data"])
                if (model.is_object() && model.contains("id") && model["id"].is_string())
                    models.append(QString::fromStdString(model["id"].get<std::string>()));
        done(models, models.isEmpty() ? QStringLiteral("没有模型列表") : QString());
    });
}

} // namespace Kelvane
