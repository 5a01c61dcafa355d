#include "StandinChatServer.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <iostream>

namespace {

constexpr qsizetype kMaxRequestBytes = 4 * 1024 * 1024;
constexpr int kCharsPerDelta = 6;

QByteArray chunked(const QByteArray &bytes) {
    return QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n";
}

// The space after "data:" is optional in the format; some compatible servers leave it out.
QByteArray sseEvent(const QJsonObject &chunk, bool compact) {
    return (compact ? "data:" : "data: ") + QJsonDocument(chunk).toJson(QJsonDocument::Compact) +
           "\n\n";
}

QJsonObject chunkWith(const QJsonObject &delta, const QJsonValue &finishReason = QJsonValue()) {
    QJsonObject choice{{"index", 0},
                       {"delta", delta},
                       {"logprobs", QJsonValue()},
                       {"finish_reason", finishReason}};
    return QJsonObject{{"id", "chatcmpl-standin"},
                       {"object", "chat.completion.chunk"},
                       {"model", "standin-chat"},
                       {"choices", QJsonArray{choice}}};
}

const char *statusText(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 402:
        return "Payment Required";
    case 404:
        return "Not Found";
    case 422:
        return "Unprocessable Entity";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

QByteArray errorBody(const QString &message, const QString &type) {
    const QJsonObject error{
        {"message", message}, {"type", type}, {"param", QJsonValue()}, {"code", type}};
    return QJsonDocument(QJsonObject{{"error", error}}).toJson(QJsonDocument::Compact);
}

} // namespace

// With timing on, every line carries the wall clock in milliseconds, for latency figures.
void StandinChatServer::log(const QString &line) const {
    if (options_.quiet)
        return;
    if (options_.timing)
        std::cout << "[standin-chat " << QDateTime::currentMSecsSinceEpoch() << "] "
                  << line.toStdString() << std::endl;
    else
        std::cout << "[standin-chat] " << line.toStdString() << std::endl;
}

StandinChatServer::StandinChatServer(const Options &opts, QObject *parent)
    : QObject(parent)
    , options_(opts)
    , server(new QTcpServer(this)) {
    connect(server, &QTcpServer::newConnection, this, &StandinChatServer::onConnection);
}

bool StandinChatServer::listen() {
    return server->listen(QHostAddress::LocalHost, options_.port);
}

quint16 StandinChatServer::port() const {
    return server->serverPort();
}

QString StandinChatServer::url() const {
    return QStringLiteral("http://127.0.0.1:%1/v1/chat/completions").arg(port());
}

QString StandinChatServer::answer(const QString &question) {
    return answerDeltas(question).join(QString());
}

QStringList StandinChatServer::answerDeltas(const QString &question) {
    // As a model told so answers words that ask nothing: the marker alone, in pieces.
    for (const char *remark : {"不着急", "共享一下屏幕", "我们开始吧"})
        if (question.contains(QString::fromUtf8(remark)))
            return {QStringLiteral("[NOT_"), QStringLiteral("A_QUES"), QStringLiteral("TION]")};
    const QString lower = question.toLower();
    const bool aboutCode = lower.contains("code") || lower.contains(QStringLiteral("代码")) ||
                           lower.contains("java") || lower.contains("c++") ||
                           lower.contains("python");
    QString answer = QStringLiteral("## 答案要点\n\n") +
                     QStringLiteral("针对问题：%1\n\n").arg(question) +
                     QStringLiteral("- **先给结论**：用一句话回答核心问题\n") +
                     QStringLiteral("- **再讲原理**：说明背后的机制和取舍\n") +
                     QStringLiteral("- **举个例子**：结合项目经验说明\n");
    if (aboutCode)
        answer += QStringLiteral("\n```java\nclass Example {\n    void run() {}\n}\n```\n");
    answer += QStringLiteral("\n> 回答时控制在两分钟以内。\n");

    QStringList deltas;
    for (qsizetype i = 0; i < answer.size(); i += kCharsPerDelta)
        deltas.append(answer.mid(i, kCharsPerDelta));
    return deltas;
}

void StandinChatServer::onConnection() {
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
    }
}

void StandinChatServer::onReadyRead(QTcpSocket *socket) {
    QByteArray buffer = socket->property("incoming").toByteArray() + socket->readAll();
    if (buffer.size() > kMaxRequestBytes) {
        sendJson(socket, 400, errorBody("request too large", "invalid_request_error"));
        return;
    }
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        socket->setProperty("incoming", buffer);
        return;
    }
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    qsizetype contentLength = 0;
    QByteArray authorization;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        if (name == "content-length")
            contentLength = value.toLongLong();
        else if (name == "authorization")
            authorization = value;
    }
    if (contentLength < 0 || contentLength > kMaxRequestBytes) {
        sendJson(socket, 400, errorBody("bad Content-Length", "invalid_request_error"));
        return;
    }
    if (buffer.size() < headEnd + 4 + contentLength) {
        socket->setProperty("incoming", buffer);
        return;
    }
    socket->setProperty("incoming", QByteArray());
    respond(socket, requestLine.value(0), requestLine.value(1), authorization,
            buffer.mid(headEnd + 4, contentLength));
}

void StandinChatServer::sendJson(QTcpSocket *socket, int status, const QByteArray &json) {
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + statusText(status) +
                  "\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(json.size()) + "\r\nConnection: close\r\n\r\n" + json);
    socket->disconnectFromHost();
}

void StandinChatServer::respond(QTcpSocket *socket, const QByteArray &method,
                                const QByteArray &target, const QByteArray &authorization,
                                const QByteArray &body) {
    const int number = ++requestCount;
    log(QStringLiteral("request %1: %2 %3").arg(number).arg(method, target));
    requests.append(Request{authorization, body, QString()});
    emit requestReceived(number);
    const bool models = method == "GET" && target == "/v1/models";
    if (!models && (method != "POST" || target != "/v1/chat/completions")) {
        sendJson(socket, 404, errorBody("not found", "invalid_request_error"));
        return;
    }
    if (!options_.apiKey.isEmpty() && authorization != "Bearer " + options_.apiKey.toUtf8()) {
        log(QStringLiteral("request %1: wrong API key").arg(number));
        sendJson(
            socket, 401,
            errorBody("Authentication Fails, Your api key is invalid", "authentication_error"));
        return;
    }
    if (models) {
        QJsonArray list;
        for (const char *id : {"deepseek-flash", "deepseek-pro"})
            list.append(QJsonObject{{"id", id}, {"object", "model"}, {"owned_by", "standin"}});
        sendJson(socket, 200,
                 QJsonDocument(QJsonObject{{"object", "list"}, {"data", list}})
                     .toJson(QJsonDocument::Compact));
        return;
    }
    if (options_.refuseStatus) {
        sendJson(socket, options_.refuseStatus,
                 errorBody(QString::fromLatin1(statusText(options_.refuseStatus)),
                           "invalid_request_error"));
        return;
    }

    QJsonParseError error{};
    const QJsonObject request = QJsonDocument::fromJson(body, &error).object();
    const QJsonArray messages = request.value("messages").toArray();
    if (error.error != QJsonParseError::NoError || messages.isEmpty() ||
        !request.value("stream").toBool()) {
        sendJson(socket, 422,
                 errorBody("messages and stream=true are required", "invalid_request_error"));
        return;
    }
    // The question is the user message's line after the prompt's own words (remarks before it).
    const QString prefix = QStringLiteral("面试官问：");
    QString question = messages.last().toObject().value("content").toString();
    for (const QString &line : question.split('\n'))
        if (line.startsWith(prefix))
            question = line.mid(prefix.size());
    question = question.section('\n', 0, 0);
    log(QStringLiteral("request %1: question: %2").arg(number).arg(question));
    requests[number - 1].question = question;

    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
                  "Cache-Control: no-cache\r\nTransfer-Encoding: chunked\r\n\r\n");
    socket->write(chunked(": keep-alive\n\n"));
    socket->write(chunked(sseEvent(chunkWith(QJsonObject{{"role", "assistant"}, {"content", ""}}),
                                   options_.compactData)));
    // A reasoning model thinks aloud first: reasoning_content deltas, content null.
    for (int ms = 0; ms < options_.reasoningMs; ms += 100)
        QTimer::singleShot(ms, socket, [this, socket]() {
            socket->write(chunked(sseEvent(
                chunkWith(QJsonObject{{"content", QJsonValue()}, {"reasoning_content", "嗯，"}}),
                options_.compactData)));
        });
    QTimer::singleShot(options_.firstDeltaDelayMs + options_.reasoningMs, this,
                       [this, socket = QPointer<QTcpSocket>(socket), number, question]() {
                           stream(socket, number, answerDeltas(question), 0);
                       });
}

void StandinChatServer::stream(QPointer<QTcpSocket> socket, int number, QStringList deltas,
                               int sent) {
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        log(QStringLiteral("request %1: the client closed the connection").arg(number));
        emit answerAbandoned(number);
        return;
    }
    if (options_.stallAfterDeltas && sent >= options_.stallAfterDeltas)
        return; // keeps the connection open, says nothing more
    if (options_.dropAfterDeltas && sent >= options_.dropAfterDeltas) {
        socket->abort();
        return;
    }
    if (deltas.isEmpty()) {
        QJsonObject last = chunkWith(QJsonObject(), QStringLiteral("stop"));
        last.insert("usage", QJsonObject{{"prompt_tokens", 120},
                                         {"completion_tokens", sent},
                                         {"total_tokens", 120 + sent}});
        socket->write(chunked(sseEvent(last, options_.compactData)));
        if (!options_.noDone)
            socket->write(chunked(options_.compactData ? "data:[DONE]\n\n" : "data: [DONE]\n\n"));
        if (options_.resetAfterDone) {
            socket->flush();
            socket->abort();
            emit answerCompleted(number);
            return;
        }
        socket->write("0\r\n\r\n");
        socket->flush();
        log(QStringLiteral("request %1: answer complete (%2 deltas)").arg(number).arg(sent));
        emit answerCompleted(number);
        return;
    }
    if (options_.garbage)
        socket->write(chunked("data: {not json\n\n"));
    socket->write(chunked(
        sseEvent(chunkWith(QJsonObject{{"content", deltas.takeFirst()}}), options_.compactData)));
    socket->flush();
    if (options_.timing)
        log(QStringLiteral("request %1: delta %2 sent").arg(number).arg(sent + 1));
    QTimer::singleShot(options_.deltaIntervalMs, this, [this, socket, number, deltas, sent]() {
        stream(socket, number, deltas, sent + 1);
    });
}
