#pragma once

#include "RecognitionResult.h"
#include "WebSocketClient.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

namespace Kelvane {

struct AsrConfig {
    QString appId;
    QString accessToken;
    QString cluster;
    QString resourceId = QStringLiteral("volc.bigasr.sauc.duration");
    QString wsUrl = QStringLiteral("wss://openspeech.bytedance.com/api/v3/sauc/bigmodel");
    QString uid = QStringLiteral("cpp_user");
    int sampleRate = 16000;
    int channels = 1;
    QString format = QStringLiteral("pcm");
    // Terms the recogniser should prefer (the candidate's own words); none: no corpus sent.
    QStringList hotwords;
};

// One streaming recognition conversation: handshake headers, the full client request, audio
// frames, and partial and final results out of the service's replies.
class ASRClient : public WebSocketClient {
    Q_OBJECT

public:
    explicit ASRClient(QObject *parent = nullptr);
    ~ASRClient() override;

    void setConfig(const AsrConfig &config);
    void connectToService();
    // Safe from any thread; frames reach the socket on its own thread in call order.
    void sendAudio(const char *data, size_t size);

    QByteArray buildFullClientRequest() const;
    static QByteArray buildAudioMessage(const char *data, size_t size, bool isLast);
    void handleServerResponse(const QByteArray &message);
    static QByteArray gzipCompress(const QByteArray &data);
    static QByteArray gzipDecompress(const QByteArray &data);

    std::function<void(const QString &text, bool isFinal)> onResult;
    // Every result of the session, whole, with its utterances on the audio timeline.
    std::function<void(const RecognitionResult &result)> onRecognised;

    bool isStreaming() const { return streaming_.load(); }
    bool isSessionReady() const { return sessionReady_; }
    // Counts the sessions opened: the audio timeline starts again at 0 with each. Safe from any
    // thread.
    int sessionSerial() const { return sessionSerial_.load(); }
    QString connectId() const { return connectId_; }
    // The service's id of the connection, for its support (empty until the service named it).
    QString logId() const { return logId_; }

    // The HTTP status of a refused handshake named in the socket's error text, 0 for none.
    static int handshakeStatus(const QString &error);

    // Sends the last (empty) audio frame when a session streams, so the service ends it.
    void finishStreaming();

signals:
    // The service accepted the session: audio is streamed from now on.
    void sessionReady();
    // The connection is gone, whoever ended it.
    void sessionEnded();
    // The connection could not be made; httpStatus is the refused handshake's status, or 0
    // when no HTTP answer came (host, TLS, network).
    void connectionFailed(int httpStatus, const QString &error);
    // The service answered the session request with an error code; it closes the connection.
    void sessionRefused(int code, const QString &message);
    // An error frame during the session; the connection is closed after it.
    void serviceError(quint32 code, const QString &message);
    // The service sent a frame (any frame): it is alive.
    void frameReceived();
    // An audio frame from another thread, on its way to the socket's thread.
    void audioFrameQueued(const QByteArray &frame);

private:
    void handleJsonPayload(const QString &payload, bool isLastPackage);
    void endSession();

    AsrConfig config_;
    std::atomic<bool> streaming_{false};
    std::atomic<int> sessionSerial_{0};
    bool sessionReady_ = false;
    QString connectId_;
    QString logId_;
    bool logIdPending_ = true;
    bool connectIdUsed_ = false;
    QString lastText_;
    std::string lastLoggedText_;
    QSet<QString> completedSentences_;
};

} // namespace Kelvane
