#include "LLMClient.h"

#include "Log.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

#include <nlohmann/json.hpp>

namespace Kelvane {

using json = nlohmann::json;

namespace {

constexpr int kTransferTimeoutMs = 60000;

const void *address(const QNetworkReply *reply) {
    return static_cast<const void *>(reply);
}

int utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    if (lead >= 0xE0)
        return lead <= 0xEF ? 3 : 0;
    if (lead >= 0xC2)
        return 2;
    return 0;
}

} // namespace

QByteArray takeIncompleteUtf8Tail(QByteArray &data) {
    const qsizetype size = data.size();
    // A sequence is at most 4 bytes, so only the last 3 can start an unfinished one.
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(data[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte: keep looking for the lead
        const int length = utf8SequenceLength(byte);
        if (length > back) {
            QByteArray tail = data.right(back);
            data.chop(back);
            return tail;
        }
        break;
    }
    return {};
}

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
    return QByteArray::fromStdString(body.dump());
}

void LLMClient::sendChatRequest(const QList<ChatMessage> &messages,
                                ResponseCallback responseCallback, ErrorCallback errorCallback) {
    if (config.apiKey.isEmpty()) {
        if (errorCallback)
            errorCallback(QStringLiteral("API key not configured"));
        return;
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
        return; // nothing will ever report on a request that never started

    activeReplies.insert(reply, ReplyContext{std::move(responseCallback), std::move(errorCallback),
                                             QString(), QByteArray()});
    Log::out("[LLMClient] Active replies count: ", activeReplies.size());

    connect(reply, &QIODevice::readyRead, this, [this, reply]() { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply]() { onFinished(reply); });
    connect(reply, &QNetworkReply::errorOccurred, this,
            [this, reply](QNetworkReply::NetworkError code) { onError(reply, code); });
    Log::out("[LLMClient] Signal connections established for reply ", address(reply));
}

void LLMClient::cancelAllRequests() {
    Log::out("[LLMClient] Cancelling all active replies (", activeReplies.size(), " total)");
    // Aborting runs the reply's finished handler at once, which edits the registry: walk a copy.
    const QList<QNetworkReply *> replies = activeReplies.keys();
    for (QNetworkReply *reply : replies) {
        if (reply) {
            reply->abort();
            reply->deleteLater();
        }
    }
    activeReplies.clear();
    Log::out("[LLMClient] All replies cancelled");
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

    QByteArray bytes = it->undecodedTail + data;
    it->undecodedTail = takeIncompleteUtf8Tail(bytes);
    it->buffer.append(QString::fromUtf8(bytes));

    QStringList parts = it->buffer.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    Log::out("[LLMClient] Processing ", parts.size(), " lines");
    if (it->buffer.endsWith(QLatin1Char('\n'))) {
        it->buffer.clear();
    } else {
        it->buffer = parts.takeLast();
    }

    // Callbacks may cancel requests and so empty the registry: look the context up each line.
    int lineNumber = 0;
    for (const QString &line : parts) {
        ++lineNumber;
        if (line.isEmpty())
            continue;
        auto current = activeReplies.find(reply);
        if (current == activeReplies.end())
            return;
        processLine(reply, *current, line, lineNumber);
    }
}

void LLMClient::processLine(QNetworkReply *reply, ReplyContext &context, const QString &line,
                            int lineNumber) {
    Log::out("[LLMClient] Line ", lineNumber, ": ", line.left(50));
    if (!line.startsWith(QLatin1String("data: "))) {
        Log::out("[LLMClient] Line does not start with 'data: '");
        return;
    }
    const QString payload = line.mid(6).trimmed();
    if (payload == QLatin1String("[DONE]")) {
        Log::out("[LLMClient] Reply ", address(reply), " stream completed");
        const ResponseCallback callback = context.responseCallback;
        if (callback)
            callback(QString(), true);
        return;
    }

    try {
        const json chunk = json::parse(payload.toStdString());
        if (!chunk.is_object() || !chunk.contains("choices"))
            return;
        const json &choices = chunk["choices"];
        if (choices.empty())
            return;
        const json &first = choices[0];
        if (!first.is_object())
            return;
        const auto delta = first.find("delta");
        if (delta == first.end() || !delta->is_object())
            return;
        const auto content = delta->find("content");
        if (content == delta->end())
            return;
        const QString text = QString::fromStdString(content->get<std::string>());
        Log::out("[LLMClient] Content: ", text);
        const ResponseCallback callback = context.responseCallback;
        if (!text.isEmpty() && callback)
            callback(text, false);
    } catch (const json::exception &error) {
        Log::err("[LLMClient] JSON parse error: ", error.what());
        Log::err("[LLMClient] Data: ", payload);
    }
}

void LLMClient::onFinished(QNetworkReply *reply) {
    if (reply && activeReplies.contains(reply)) {
        Log::out("[LLMClient] Reply ", address(reply), " finished");
        activeReplies.remove(reply);
        Log::out("[LLMClient] Active replies count after removal: ", activeReplies.size());
        reply->deleteLater();
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
    const QString errorText = reply->errorString();
    Log::err("[LLMClient] Reply ", address(reply), " network error: ", errorText);
    const ErrorCallback callback = it->errorCallback;
    if (callback)
        callback(errorText);
}

} // namespace Kelvane
