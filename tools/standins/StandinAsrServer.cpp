#include "StandinAsrServer.h"

#include "AsrWire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>
#include <QWebSocketServer>

#include <cmath>
#include <iostream>
#include <utility>

namespace {

constexpr int kBlockSamples = 160;          // 10 ms at 16 kHz
constexpr double kSpeechRms = 0.015;        // of full scale
constexpr qint64 kSentenceEndQuietMs = 600; // quiet that ends a sentence
constexpr qint64 kMsPerRevealedChar = 100;  // partial results grow with the speech

// The words of a line with their times, spread over its speech: a Latin run is one word, a
// Chinese character another; punctuation is none.
QJsonArray wordsOf(const QString &line, qint64 startMs, qint64 endMs) {
    QStringList words;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        const bool latin = c.unicode() < 0x250 && c.isLetterOrNumber();
        if (!c.isLetterOrNumber())
            continue;
        if (latin && !words.isEmpty() && i > 0 && line.at(i - 1).unicode() < 0x250 &&
            line.at(i - 1).isLetterOrNumber())
            words.last() += c;
        else
            words.append(QString(c));
    }
    QJsonArray result;
    const qint64 step = words.isEmpty() ? 0 : (endMs - startMs) / words.size();
    for (int i = 0; i < words.size(); ++i)
        result.append(QJsonObject{{"text", words[i]},
                                  {"start_time", startMs + i * step},
                                  {"end_time", startMs + (i + 1) * step}});
    return result;
}

const char *reason(int status) {
    switch (status) {
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    default:
        return "Error";
    }
}

} // namespace

void StandinAsrServer::log(const QString &line) const {
    if (!options_.quiet)
        std::cout << "[standin-asr] " << line.toStdString() << std::endl;
}

StandinAsrServer::StandinAsrServer(const Options &opts, QObject *parent)
    : QObject(parent)
    , options_(opts)
    , tcpServer(new QTcpServer(this))
    , wsServer(new QWebSocketServer(QStringLiteral("standin-asr"), QWebSocketServer::NonSecureMode,
                                    this)) {
    connect(tcpServer, &QTcpServer::newConnection, this, &StandinAsrServer::onTcpConnection);
    connect(wsServer, &QWebSocketServer::newConnection, this, [this]() {
        while (QWebSocket *socket = wsServer->nextPendingConnection())
            onSocket(socket);
    });
}

bool StandinAsrServer::listen() {
    return tcpServer->listen(QHostAddress::LocalHost, options_.port);
}

quint16 StandinAsrServer::port() const {
    return tcpServer->serverPort();
}

QString StandinAsrServer::url() const {
    return QStringLiteral("ws://127.0.0.1:%1/api/v3/sauc/bigmodel").arg(port());
}

void StandinAsrServer::sendToClients(const QByteArray &frame) {
    for (QWebSocket *socket : sessions.keys())
        socket->sendBinaryMessage(frame);
}

void StandinAsrServer::sendError(quint32 code, const QString &message) {
    for (QWebSocket *socket : sessions.keys())
        sendErrorTo(socket, code, message);
}

void StandinAsrServer::closeClients() {
    for (QWebSocket *socket : sessions.keys())
        socket->close(QWebSocketProtocol::CloseCodeNormal);
}

void StandinAsrServer::dropClients() {
    for (QWebSocket *socket : sessions.keys())
        socket->abort();
}

void StandinAsrServer::onTcpConnection() {
    while (QTcpSocket *socket = tcpServer->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() {
            // Look at the upgrade request without consuming it; the WebSocket server reads it.
            const QByteArray head = socket->peek(socket->bytesAvailable());
            if (head.size() > 64 * 1024) {
                socket->abort();
                return;
            }
            const qsizetype end = head.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            socket->disconnect(this);
            QMap<QString, QString> headers;
            for (const QByteArray &line : head.left(end).split('\n')) {
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    headers.insert(QString::fromLatin1(line.left(colon).trimmed()).toLower(),
                                   QString::fromUtf8(line.mid(colon + 1).trimmed()));
            }
            handshakes.append(headers);
            int status = options_.refuseStatus;
            for (const char *name :
                 {"x-api-app-key", "x-api-access-key", "x-api-resource-id", "x-api-connect-id"}) {
                if (!headers.contains(QLatin1String(name))) {
                    log(QStringLiteral("refusing upgrade: header %1 missing").arg(name));
                    status = 401;
                }
            }
            if (status) {
                log(QStringLiteral("refusing upgrade with HTTP %1").arg(status));
                const QByteArray body =
                    QStringLiteral(R"({"error":"%1"})").arg(reason(status)).toUtf8();
                socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) +
                              "\r\nContent-Type: application/json\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
                              body);
                socket->disconnectFromHost();
                return;
            }
            // A slow service: the upgrade is answered only after the delay.
            QTimer::singleShot(options_.handshakeDelayMs, socket,
                               [this, socket]() { wsServer->handleConnection(socket); });
        });
    }
}

void StandinAsrServer::onSocket(QWebSocket *socket) {
    log(QStringLiteral("session opened"));
    socket->setParent(this);
    Session &session = sessions[socket];
    session.idle = new QTimer(socket);
    session.idle->setSingleShot(true);
    session.idle->setInterval(options_.idleTimeoutMs);
    connect(session.idle, &QTimer::timeout, socket, [this, socket]() {
        sendErrorTo(socket, 45000081,
                    QStringLiteral("[Timeout waiting next packet] waiting next "
                                   "packet timeout"));
        socket->close(QWebSocketProtocol::CloseCodeNormal);
    });
    connect(socket, &QWebSocket::binaryMessageReceived, this,
            [this, socket](const QByteArray &message) { onBinaryMessage(socket, message); });
    connect(socket, &QWebSocket::disconnected, this, [this, socket]() {
        const int code = int(socket->closeCode());
        log(QStringLiteral("session closed (code %1)").arg(code));
        sessions.remove(socket);
        socket->deleteLater();
        closeCodes.append(code);
        emit sessionClosed(code);
    });
}

void StandinAsrServer::onBinaryMessage(QWebSocket *socket, const QByteArray &message) {
    auto it = sessions.find(socket);
    if (it == sessions.end())
        return;
    Session &session = *it;
    const AsrWire::ClientFrame frame = AsrWire::parseClientFrame(message);
    if (!frame.valid) {
        sendErrorTo(socket, 45000001, QString::fromLatin1(frame.problem));
        return;
    }
    const int type = frame.type;
    const QByteArray &payload = frame.payload;
    if (type == 1) {
        handleFullRequest(socket, session, payload);
    } else if (type == 2) {
        if (!session.started) {
            sendErrorTo(socket, 45000001, QStringLiteral("audio before the full client request"));
            return;
        }
        handleAudio(socket, session, payload, frame.isLast());
    } else {
        sendErrorTo(socket, 45000001, QStringLiteral("unknown message type %1").arg(type));
    }
}

void StandinAsrServer::handleFullRequest(QWebSocket *socket, Session &session,
                                         const QByteArray &payload) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    const QJsonObject request = document.object();
    const QJsonObject format = request.value("audio").toObject();
    QString problem;
    if (error.error != QJsonParseError::NoError || !document.isObject())
        problem = QStringLiteral("request is not a JSON object");
    else if (format.value("format").toString() != QLatin1String("pcm"))
        problem = QStringLiteral("unsupported audio format");
    else if (format.value("rate").toInt() != 16000 || format.value("bits").toInt() != 16 ||
             format.value("channel").toInt() != 1)
        problem = QStringLiteral("audio must be 16 kHz mono 16-bit");
    else if (!request.value("user").toObject().contains("uid"))
        problem = QStringLiteral("user.uid is required");
    else if (request.value("request").toObject().value("model_name").toString() !=
             QLatin1String("bigmodel"))
        problem = QStringLiteral("request.model_name must be bigmodel");
    else
        problem = corpusProblem(request.value("request").toObject());
    if (problem.isEmpty() && options_.refuseSessionCode) {
        problem = QStringLiteral("requested resource not granted");
        log(QStringLiteral("refusing the session"));
        sendErrorTo(socket, quint32(options_.refuseSessionCode), problem);
        socket->close(QWebSocketProtocol::CloseCodeNormal);
        return;
    }
    if (!problem.isEmpty()) {
        log(QStringLiteral("invalid full client request: ") + problem);
        sendErrorTo(socket, 45000001, problem);
        socket->close(QWebSocketProtocol::CloseCodeNormal);
        return;
    }
    session.started = true;
    session.idle->start();
    fullRequests.append(payload);
    log(QStringLiteral("full client request accepted"));
    logIds.append(QUuid::createUuid().toString(QUuid::WithoutBraces).remove('-'));
    const QJsonObject additions{{"log_id", logIds.last()}};
    const QJsonObject reply{{"result", QJsonObject{{"additions", additions}}}};
    socket->sendBinaryMessage(AsrWire::serverFrame(
        AsrWire::FullServerResponse, 0, 0, QJsonDocument(reply).toJson(QJsonDocument::Compact)));
    emit sessionStarted();
}

// request.corpus.context, when sent: a JSON document in a string, {"hotwords":[{"word":…}]}.
QString StandinAsrServer::corpusProblem(const QJsonObject &request) {
    if (!request.contains("corpus"))
        return QString();
    const QJsonValue context = request.value("corpus").toObject().value("context");
    const QJsonDocument words = QJsonDocument::fromJson(context.toString().toUtf8());
    const QJsonValue hotwords = words.object().value("hotwords");
    bool shaped = context.isString() && hotwords.isArray() && !hotwords.toArray().isEmpty();
    for (const QJsonValue &word : hotwords.toArray())
        shaped = shaped && word.toObject().value("word").isString();
    if (!shaped)
        return QStringLiteral("request.corpus.context is not a hotword list");
    hotwordContexts.append(context.toString());
    return QString();
}

QString StandinAsrServer::currentLine(const Session &) const {
    return options_.script.value(scriptPosition);
}

void StandinAsrServer::handleAudio(QWebSocket *socket, Session &session, const QByteArray &pcm,
                                   bool last) {
    session.idle->start();
    ++session.audioFrames;
    ++audioFrames;
    packetBytes.append(int(pcm.size()));
    if (last)
        ++lastFrames;
    // "A single audio packet must be about 100 ms" (16 kHz, 16-bit: 32 bytes a millisecond).
    const qsizetype ms = pcm.size() / 32;
    if (!last && (ms < 80 || ms > 220)) {
        log(QStringLiteral("refusing an audio packet of %1 ms").arg(ms));
        sendErrorTo(socket, 45000001, QStringLiteral("audio packet of %1 ms").arg(ms));
        socket->close(QWebSocketProtocol::CloseCodeNormal);
        return;
    }
    if (keepAudio)
        audio.append(pcm);
    emit audioReceived();
    if (options_.dropAfterFrames && session.audioFrames > options_.dropAfterFrames) {
        log(QStringLiteral("dropping the connection"));
        socket->abort();
        return;
    }
    if (options_.stallAfterFrames && session.audioFrames > options_.stallAfterFrames)
        return;
    if (options_.garbage) {
        socket->sendBinaryMessage(QByteArray("\x11\x9f\x11", 3));
        socket->sendBinaryMessage(QByteArray(64, '\xff'));
        return;
    }
    // Like the service, it answers every packet: what it heard so far and how much of it.
    listenToAudio(session, pcm);
    sendResult(socket, session, last);
    for (const int sentence : std::exchange(session.correctionsDue, {}))
        correctLater(socket, sentence);
    if (last) {
        log(QStringLiteral("last audio frame: session ends"));
        socket->close(QWebSocketProtocol::CloseCodeNormal);
    }
}

// Follows the speech in the samples; true when what is recognised changed.
bool StandinAsrServer::listenToAudio(Session &session, const QByteArray &pcm) {
    QByteArray samples = session.pcmTail + pcm;
    const qsizetype blockBytes = kBlockSamples * 2;
    qsizetype offset = 0;
    bool changed = false;
    for (; offset + blockBytes <= samples.size(); offset += blockBytes) {
        const auto *block = reinterpret_cast<const qint16 *>(samples.constData() + offset);
        double sum = 0.0;
        for (int i = 0; i < kBlockSamples; ++i)
            sum += (block[i] / 32768.0) * (block[i] / 32768.0);
        const bool loud = std::sqrt(sum / kBlockSamples) > kSpeechRms;
        session.receivedMs += 10;
        const QString line = currentLine(session);
        if (loud) {
            if (!session.inSpeech) {
                session.inSpeech = true;
                session.speechStartMs = session.receivedMs;
                session.speechMs = 0;
            }
            session.speechMs += 10;
            session.quietMs = 0;
            const int reveal =
                int(qMin<qint64>(line.size(), 1 + session.speechMs / kMsPerRevealedChar));
            if (reveal > 0 && line.left(reveal) != session.partial) {
                session.partial = line.left(reveal);
                changed = true;
            }
        } else if (session.inSpeech) {
            session.quietMs += 10;
            if (session.quietMs == options_.settleMs && !line.isEmpty() &&
                session.partial != line) {
                session.partial = line;
                changed = true;
            }
            if (session.quietMs >= kSentenceEndQuietMs) {
                session.inSpeech = false;
                if (!line.isEmpty()) {
                    session.definite.append(line);
                    session.times.append(
                        {session.speechStartMs, session.receivedMs - session.quietMs});
                    ++scriptPosition;
                    log(QStringLiteral("sentence recognised: ") + line);
                    if (options_.corrections.contains(line))
                        session.correctionsDue.append(int(session.definite.size()) - 1);
                }
                session.partial.clear();
                changed = true;
            }
        }
    }
    session.pcmTail = samples.mid(offset);
    return changed;
}

void StandinAsrServer::correctLater(QWebSocket *socket, int sentence) {
    QTimer::singleShot(options_.correctAfterMs, socket, [this, socket, sentence]() {
        auto it = sessions.find(socket);
        if (it == sessions.end() || sentence >= it->definite.size())
            return;
        it->definite[sentence] =
            options_.corrections.value(it->definite[sentence], it->definite[sentence]);
        log(QStringLiteral("sentence corrected: ") + it->definite[sentence]);
        sendResult(socket, *it, false);
    });
}

void StandinAsrServer::sendResult(QWebSocket *socket, Session &session, bool last) {
    QJsonArray utterances;
    for (int i = 0; i < session.definite.size(); ++i) {
        const auto [start, end] = session.times[i];
        utterances.append(QJsonObject{{"definite", true},
                                      {"start_time", start},
                                      {"end_time", end},
                                      {"text", session.definite[i]},
                                      {"words", wordsOf(session.definite[i], start, end)}});
    }
    if (!session.partial.isEmpty())
        utterances.append(QJsonObject{{"definite", false},
                                      {"start_time", session.speechStartMs},
                                      {"end_time", session.receivedMs},
                                      {"text", session.partial},
                                      {"words", wordsOf(session.partial, session.speechStartMs,
                                                        session.receivedMs - session.quietMs)}});
    else
        utterances.append(
            QJsonObject{{"definite", false}, {"start_time", -1}, {"end_time", -1}, {"text", ""}});
    const QString text = session.definite.join(QString()) + session.partial;
    const QJsonObject reply{{"audio_info", QJsonObject{{"duration", session.receivedMs}}},
                            {"result", QJsonObject{{"text", text}, {"utterances", utterances}}}};
    ++session.sequence;
    socket->sendBinaryMessage(
        AsrWire::serverFrame(AsrWire::FullServerResponse, last ? 3 : 1, session.sequence,
                             QJsonDocument(reply).toJson(QJsonDocument::Compact)));
}

void StandinAsrServer::sendErrorTo(QWebSocket *socket, quint32 code, const QString &message) {
    log(QStringLiteral("error %1: %2").arg(code).arg(message));
    const QJsonObject body{{"error", message}};
    socket->sendBinaryMessage(AsrWire::serverFrame(
        AsrWire::ServerError, 0, 0, QJsonDocument(body).toJson(QJsonDocument::Compact), code));
}
