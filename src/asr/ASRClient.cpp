#include "ASRClient.h"

#include "AsrFrameCodec.h"
#include "Log.h"
#include "Settings.h"

#include <QMap>
#include <QMetaObject>
#include <QRegularExpression>
#include <QThread>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <limits>

namespace Kelvane {

using json = nlohmann::json;

namespace {

// Looks up an optional member; a value that is not an object raises the library's type error,
// as at() does, so malformed replies end in the parse-error line instead of passing as empty.
const json *findMember(const json &object, const char *key) {
    if (!object.is_object())
        (void)object.at(key);
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// The service may send any JSON number; converting one outside int's range (or a fraction)
// to int is undefined, and a malformed code must read as a failure, never as success.
bool integerInIntRange(const json &value) {
    if (value.is_number_unsigned())
        return value.get<json::number_unsigned_t>() <=
               json::number_unsigned_t(std::numeric_limits<int>::max());
    if (value.is_number_integer()) {
        const auto number = value.get<json::number_integer_t>();
        return number >= std::numeric_limits<int>::min() &&
               number <= std::numeric_limits<int>::max();
    }
    return false;
}

// The service names each connection in its first result (result.additions.log_id).
QString logIdIn(const json &document) {
    const auto result = document.is_object() ? document.find("result") : document.end();
    if (result == document.end() || !result->is_object())
        return QString();
    const auto additions = result->find("additions");
    if (additions == result->end() || !additions->is_object())
        return QString();
    const auto logId = additions->find("log_id");
    return logId != additions->end() && logId->is_string()
               ? QString::fromStdString(logId->get<std::string>())
               : QString();
}

qint64 timeIn(const json &object, const char *key) {
    const json *value = findMember(object, key);
    return value && value->is_number_integer() ? value->get<qint64>() : -1;
}

QString textIn(const json &object) {
    const json *value = findMember(object, "text");
    return value ? QString::fromStdString(value->get<std::string>()) : QString();
}

// result.utterances, each with its words where the service gives them.
std::vector<Utterance> utterancesIn(const json &result) {
    std::vector<Utterance> utterances;
    const json *list = findMember(result, "utterances");
    if (!list || !list->is_array())
        return utterances;
    for (const json &item : *list) {
        Utterance utterance;
        utterance.text = textIn(item);
        utterance.startMs = timeIn(item, "start_time");
        utterance.endMs = timeIn(item, "end_time");
        if (const json *definite = findMember(item, "definite"))
            utterance.definite = definite->get<bool>();
        if (const json *words = findMember(item, "words"); words && words->is_array())
            for (const json &word : *words)
                utterance.words.push_back(
                    {textIn(word), timeIn(word, "start_time"), timeIn(word, "end_time")});
        utterances.push_back(std::move(utterance));
    }
    return utterances;
}

} // namespace

int ASRClient::handshakeStatus(const QString &error) {
    // Qt 6.4 words a refused upgrade as "... Unhandled http status code: 401 (Unauthorized)";
    // other versions word it otherwise, but every one names the status as a number of its own.
    static const QRegularExpression named(QStringLiteral("status(?: code)?:? *([1-5]\\d\\d)\\b"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression bare(QStringLiteral("(?<![\\d.:])([45]\\d\\d)(?![\\d.:])"));
    QRegularExpressionMatch match = named.match(error);
    if (!match.hasMatch())
        match = bare.match(error);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

ASRClient::ASRClient(QObject *parent)
    : WebSocketClient(parent)
    , connectId_(QUuid::createUuid().toString(QUuid::WithoutBraces)) {
    onConnected = [this]() {
        Log::out("[ASRClient] Connected to ASR service");
        lastText_.clear();
        completedSentences_.clear();
        const QByteArray frame = buildFullClientRequest();
        Log::out("[ASRClient] Sending param message (", frame.size(), " bytes)");
        sendBinary(frame);
    };
    onDisconnected = [this]() {
        Log::out("[ASRClient] Disconnected from ASR service");
        streaming_.store(false);
        sessionReady_ = false;
        emit sessionEnded();
    };
    onBinaryMessage = [this](const QByteArray &message) { handleServerResponse(message); };
    // Frames from the capture thread: queued signals to one receiver arrive in emission order,
    // and the capture thread never waits for the socket. One posted just before the session
    // ended is dropped quietly.
    connect(
        this, &ASRClient::audioFrameQueued, this,
        [this](const QByteArray &frame) {
            if (streaming_.load())
                sendBinary(frame);
        },
        Qt::QueuedConnection);
    onError = [this](const QString &error) {
        Log::err("[ASRClient] Error: ", error);
        if (sessionReady_)
            return; // a lost session ends in sessionEnded
        emit connectionFailed(handshakeStatus(error), maskedUrlSecrets(error));
    };
}

ASRClient::~ASRClient() {
    finishStreaming();
}

void ASRClient::setConfig(const AsrConfig &config) {
    config_ = config;
}

void ASRClient::connectToService() {
    if (config_.appId.isEmpty() || config_.accessToken.isEmpty()) {
        Log::err("[ASRClient] Invalid config: appId and token are required");
        return;
    }
    // Each connection is its own: a reconnect gets a fresh id.
    if (connectIdUsed_)
        connectId_ = QUuid::createUuid().toString(QUuid::WithoutBraces);
    connectIdUsed_ = true;
    streaming_.store(false);
    sessionReady_ = false;
    logIdPending_ = true;
    logId_.clear(); // (a refused reconnection has no id: never the last connection's)
    QMap<QString, QString> headers;
    headers.insert(QStringLiteral("X-Api-App-Key"), config_.appId);
    headers.insert(QStringLiteral("X-Api-Access-Key"), config_.accessToken);
    headers.insert(QStringLiteral("X-Api-Resource-Id"), config_.resourceId);
    headers.insert(QStringLiteral("X-Api-Connect-Id"), connectId_);

    Log::out("[ASRClient] Connecting to ASR service...");
    Log::out("[ASRClient] URL: ", config_.wsUrl);
    Log::out("[ASRClient] Connect-Id: ", connectId_);
    connectToServer(config_.wsUrl, headers);
}

void ASRClient::sendAudio(const char *data, size_t size) {
    if (!streaming_.load())
        return;
    QByteArray frame = buildAudioMessage(data, size, false);
    if (QThread::currentThread() == thread()) {
        sendBinary(frame);
        return;
    }
    emit audioFrameQueued(frame);
}

QByteArray ASRClient::buildFullClientRequest() const {
    json request;
    request["audio"] = {{"bits", 16},
                        {"channel", config_.channels},
                        {"format", config_.format.toStdString()},
                        {"rate", config_.sampleRate}};
    request["request"] = {{"enable_ddc", true},        {"enable_itn", true},
                          {"enable_nonstream", false}, {"enable_punc", true},
                          {"model_name", "bigmodel"},  {"show_utterances", true}};
    if (!config_.hotwords.isEmpty()) {
        // The service wants the hotwords as a JSON document inside a string.
        json words = json::array();
        for (const QString &word : config_.hotwords)
            words.push_back({{"word", word.toStdString()}});
        request["request"]["corpus"] = {{"context", json{{"hotwords", words}}.dump()}};
        // (how many, not which: they come from the résumé)
        Log::out("[ASRClient] Hotwords: ", config_.hotwords.size(), " terms");
    }
    request["user"] = {{"uid", config_.uid.toStdString()}};
    const std::string text = request.dump();
    // The hotwords are the candidate's own terms (from the résumé): the log names how many.
    json logged = request;
    if (logged["request"].contains("corpus"))
        logged["request"]["corpus"]["context"] = std::to_string(config_.hotwords.size()) + " terms";
    Log::out("[ASRClient] Param JSON: ", logged.dump());
    return AsrCodec::buildFullClientRequestFrame(QByteArray::fromStdString(text));
}

QByteArray ASRClient::buildAudioMessage(const char *data, size_t size, bool isLast) {
    return AsrCodec::buildAudioFrame(data, size, isLast);
}

QByteArray ASRClient::gzipCompress(const QByteArray &data) {
    return AsrCodec::gzipCompress(data);
}

QByteArray ASRClient::gzipDecompress(const QByteArray &data) {
    return AsrCodec::gzipDecompress(data);
}

void ASRClient::handleServerResponse(const QByteArray &message) {
    emit frameReceived();
    const AsrCodec::ServerPayload payload = AsrCodec::decodeServerFrame(message);
    if (payload.isError) {
        // Before the session is open, an error answers the session request itself.
        if (sessionReady_)
            emit serviceError(payload.errorCode, payload.errorText);
        else
            emit sessionRefused(int(payload.errorCode), payload.errorText);
        endSession();
        return;
    }
    if (payload.hasJson)
        handleJsonPayload(payload.jsonText, payload.isLastPackage);
}

void ASRClient::handleJsonPayload(const QString &payload, bool isLastPackage) {
    try {
        // A long session's results carry every word so far with its times: hundreds of
        // kilobytes, ten times a second. The log keeps their start.
        constexpr qsizetype kLoggedChars = 1000;
        if (payload.size() <= kLoggedChars)
            Log::frame("[ASRClient] JSON Payload: ", payload);
        else
            Log::frame("[ASRClient] JSON Payload: ", payload.left(kLoggedChars), "… (",
                       payload.size(), " characters)");
        const json document = json::parse(payload.toStdString());
        // (once per connection: the id its support asks for)
        if (logIdPending_) {
            const QString logId = logIdIn(document);
            if (!logId.isEmpty()) {
                logIdPending_ = false;
                logId_ = logId;
                Log::out("[ASRClient] Log id: ", logId_);
            }
        }

        if (!sessionReady_) {
            int code = 0;
            std::string message;
            if (const json *value = findMember(document, "code")) {
                if (!integerInIntRange(*value)) {
                    Log::err("[ASRClient] Init failed: invalid code ", value->dump());
                    emit sessionRefused(-1, QString::fromStdString(value->dump()));
                    endSession();
                    return;
                }
                code = value->get<int>();
            }
            if (const json *value = findMember(document, "message"))
                message = value->get<std::string>();
            Log::out("[ASRClient] Init response: code=", code, ", message=", message);
            if (code == 0) {
                sessionReady_ = true;
                ++sessionSerial_;
                Log::out("[ASRClient] Session ready");
                streaming_.store(true);
                Log::out("[ASRClient] Streaming started automatically");
                emit sessionReady();
            } else {
                Log::err("[ASRClient] Init failed: ", message);
                emit sessionRefused(code, QString::fromStdString(message));
                endSession();
            }
            return;
        }

        if (!document.is_object())
            return;
        const auto resultIt = document.find("result");
        if (resultIt == document.end() || resultIt->is_null())
            return;
        const json &result = *resultIt;

        std::string resultText;
        if (const json *value = findMember(result, "text"))
            resultText = value->get<std::string>();
        // (the service answers every packet: the text is logged when it changed)
        if (resultText != lastLoggedText_) {
            Log::out("[ASRClient] ASR result: ", resultText);
            lastLoggedText_ = resultText;
        }
        if (onRecognised) {
            RecognitionResult recognised;
            recognised.text = QString::fromStdString(resultText);
            recognised.utterances = utterancesIn(result);
            if (const json *audio = findMember(document, "audio_info"))
                recognised.heardMs = timeIn(*audio, "duration");
            recognised.session = sessionSerial_.load();
            onRecognised(recognised);
        }

        if (!resultText.empty() && resultText != lastText_.toStdString()) {
            const QString fullText = QString::fromStdString(resultText);
            QString increment = fullText;
            if (fullText.startsWith(lastText_))
                increment = fullText.mid(lastText_.size()).trimmed();
            if (!increment.isEmpty()) {
                Log::out("[ASRClient] Incremental: ", increment, " (Full: ", resultText, ")");
                if (onResult)
                    onResult(fullText, false);
            }
            lastText_ = fullText;
        }

        {
            const json *utterances = findMember(result, "utterances");
            if (utterances && utterances->is_array()) {
                for (const json &utterance : *utterances) {
                    std::string sentenceText;
                    bool definite = false;
                    if (const json *value = findMember(utterance, "text"))
                        sentenceText = value->get<std::string>();
                    if (const json *value = findMember(utterance, "definite"))
                        definite = value->get<bool>();
                    const QString sentence = QString::fromStdString(sentenceText);
                    if (!definite || sentence.isEmpty() || completedSentences_.contains(sentence))
                        continue;
                    Log::out("[ASRClient] ✅ Complete sentence: ", sentence);
                    completedSentences_.insert(sentence);
                    if (onResult)
                        onResult(sentence, true);
                    lastText_.clear();
                    Log::out("[ASRClient] 🔄 Cleared lastText_ after definite sentence");
                }
            }
        }

        if (isLastPackage) {
            Log::out("[ASRClient] Recognition complete, resetting state");
            lastText_.clear();
            completedSentences_.clear();
        }
    } catch (const json::exception &error) {
        Log::err("[ASRClient] JSON parse error: ", error.what());
    }
}

// The session is over on the service's side: close the connection so it can be made anew.
void ASRClient::endSession() {
    streaming_.store(false);
    sessionReady_ = false;
    disconnectFromServer();
}

void ASRClient::finishStreaming() {
    if (!streaming_.load())
        return;
    Log::out("[ASRClient] Finishing streaming...");
    sendBinary(buildAudioMessage(nullptr, 0, true));
    streaming_.store(false);
    Log::out("[ASRClient] Streaming finished");
}

} // namespace Kelvane
