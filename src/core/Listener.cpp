#include "Listener.h"

#include "EarlyRequestPlan.h"
#include "Log.h"
#include "PlayingHint.h"
#include "SpeechFrames.h"
#include "VAD.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <utility>

namespace Kelvane {

namespace {

constexpr qint64 kCaptureRetryMs = 1000;

} // namespace

Listener::Listener(AudioPlatformFactory factory, QObject *parent)
    : QObject(parent)
    , audioPlatformFactory(std::move(factory)) {
    reconnectTimer.setSingleShot(true);
    connect(&reconnectTimer, &QTimer::timeout, this, [this]() {
        if (isListening && asrClient)
            asrClient->connectToService();
    });
    stallWatch.setInterval(1000);
    connect(&stallWatch, &QTimer::timeout, this, &Listener::checkStall);
    // The pause's audio reached the recogniser as the point passed; its answer may still
    // change the text, and a request for the old text would only be cancelled again.
    earlyGrace.setSingleShot(true);
    earlyGrace.setInterval(int(EarlyRequestPlan::kRecogniserGraceMs));
    connect(
        this, &Listener::earlyPointReached, this,
        [this]() {
            if (!earlyGrace.isActive())
                earlyGrace.start();
        },
        Qt::QueuedConnection);
    connect(&earlyGrace, &QTimer::timeout, this, &Listener::sendEarlyNow);
    connect(this, &Listener::speechResumed, &earlyGrace, &QTimer::stop);
    connect(
        this, &Listener::captureEndedOnThread, this,
        [this](int generation, int why, int code) {
            onCaptureEnded(generation, CaptureEnd(why), PlatformResult(code));
        },
        Qt::QueuedConnection);
    captureRetryTimer.setSingleShot(true);
    connect(&captureRetryTimer, &QTimer::timeout, this, &Listener::reopenCapture);
    playingCheck.setInterval(1000);
    connect(&playingCheck, &QTimer::timeout, this, &Listener::checkPlaying);
}

Listener::~Listener() {
    stop();
}

bool Listener::initialize() {
    // The rest is made whatever capture does: a sound server may start after the program, and
    // 开始 makes a fresh capture then.
    audioCapture = makeCapture();
    captureFresh = audioCapture->initialize();

    speechFrames = std::make_unique<SpeechFrames>();
    vad = std::make_unique<VAD>();
    VadConfig vadConfig;
    vadConfig.sampleRate = SpeechFrames::kTargetRate;
    vadConfig.frameSize = 160;
    vadConfig.energyThreshold = 0.03f;
    vadConfig.minSpeechFrames = 5;
    vadConfig.minSilenceFrames = 80;
    vad->setConfig(vadConfig);
    vad->setCallback([](bool speaking) {
        Log::out(speaking ? "[Application] VAD: Speech detected"
                          : "[Application] VAD: Speech ended");
    });

    asrClient = std::make_unique<ASRClient>(this);
    asrClient->setConfig(recognitionConfig);
    asrClient->onRecognised = [this](const RecognitionResult &result) { onRecognised(result); };
    connect(asrClient.get(), &ASRClient::sessionReady, this, &Listener::onSessionReady);
    // A failure reported while a reconnection is already planned changes nothing.
    connect(asrClient.get(), &ASRClient::connectionFailed, this,
            [this](int httpStatus, const QString &error) {
                if (isListening && !reconnectTimer.isActive())
                    follow(supervisor.connectionFailed(httpStatus, error));
            });
    connect(asrClient.get(), &ASRClient::sessionRefused, this,
            [this](int code, const QString &message) {
                if (isListening && !reconnectTimer.isActive())
                    follow(supervisor.sessionRefused(code, message));
            });
    connect(asrClient.get(), &ASRClient::serviceError, this,
            [this](quint32 code, const QString &message) {
                if (isListening && !reconnectTimer.isActive())
                    follow(supervisor.serviceError(code, message));
            });
    connect(asrClient.get(), &ASRClient::sessionEnded, this, [this]() {
        stallWatch.stop();
        if (isListening && !reconnectTimer.isActive())
            follow(supervisor.sessionEnded(QDateTime::currentMSecsSinceEpoch()));
    });
    connect(asrClient.get(), &ASRClient::frameReceived, this, [this]() {
        sinceLastFrame.start();
        audioSentSinceFrame.store(false);
    });
    return captureFresh;
}

void Listener::setRecognitionConfig(const AsrConfig &config) {
    recognitionConfig = config;
    if (asrClient)
        asrClient->setConfig(config);
}

void Listener::start() {
    if (isListening) {
        Log::out("[Application] Already listening");
        return;
    }
    Log::out("[Application] Starting listening...");
    // Only the capture opened at start-up is used as it is: one that ran before may sit on a
    // server connection that died while stopped (a restarted server, a laptop that slept).
    if (!captureFresh || deviceSetting != openedDevice) {
        audioCapture = makeCapture();
        audioCapture->initialize();
    }
    captureFresh = false;
    isListening = true;
    quietSince = QDateTime::currentMSecsSinceEpoch();
    playingCheck.start();
    supervisor.start();
    if (asrClient)
        asrClient->connectToService();
    captureOpened.start();
    if (!audioCapture->start(audioHandler(audioCapture.get()))) {
        // Listening goes on without a device, exactly as when one is lost while listening.
        Log::err("[Application] Failed to start audio capture");
        supervisor.captureUnavailable(quint32(audioCapture->lastError()));
        captureRetryTimer.start(kCaptureRetryMs);
    } else {
        supervisor.captureRunning(audioCapture->fellBackToDefault());
    }
    Log::out("[Application] Listening started");
    publishStatus();
    emit listeningChanged(true);
}

void Listener::stop() {
    if (!isListening)
        return;
    Log::out("[Application] Stopping listening...");
    endListening();
    setStatus(QStringLiteral("已停止"));
}

// Stops capture and ends the recognition session; the caller says why on the status line.
// A stop ends the question in progress: nothing heard before it is asked or sent after the
// next start, which may be another interview.
void Listener::endListening() {
    isListening = false;
    reconnectTimer.stop();
    stallWatch.stop();
    captureRetryTimer.stop();
    earlyGrace.stop();
    playingCheck.stop();
    showPlayingHint(QString(), QString());
    playingNote.clear();
    if (audioCapture)
        audioCapture->stop(); // the capture thread is gone: its fields are this thread's now
    QString unasked;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        unasked = detector.endQuestion();
    }
    if (!unasked.isEmpty())
        Log::out("[Application] Dropped at stop, not asked: ", unasked);
    if (packets.pendingSamples() > 0)
        Log::out("[Application] Dropped at stop, not sent: ", packets.pendingSamples() / 16,
                 " ms of audio");
    packets.clear();
    emit inputLevel(0);
    if (asrClient) {
        asrClient->finishStreaming();
        asrClient->disconnectFromServer();
    }
    emit listeningChanged(false);
}

void Listener::failListening(const QString &status, const QString &detail) {
    Log::err("[Application] Listening stopped: ", status, " ", detail);
    endListening();
    setStatus(status, detail);
}

AudioDataCallback Listener::audioHandler(AudioCapture *capture) {
    return [this, capture](const uint8_t *data, size_t size, int sampleRate, int channels) {
        onAudioData(data, size, sampleRate, channels);
        capture->setResting(resting);
    };
}

void Listener::setStatus(const QString &status, const QString &detail) {
    statusDetail_ = detail;
    // The recogniser's own name of the connection: what its support asks for.
    const QString logId = asrClient ? asrClient->logId() : QString();
    if (status.startsWith(QStringLiteral("识别服务")) && !logId.isEmpty())
        statusDetail_ += (detail.isEmpty() ? QString() : QStringLiteral("\n")) +
                         QStringLiteral("识别服务日志 ID：") + logId;
    emit statusChanged(status);
}

void Listener::publishStatus() {
    if (!isListening)
        return;
    const ListeningSupervisor::Status status = supervisor.status();
    setStatus(status.text, playingNote.isEmpty() ? status.detail
                           : status.detail.isEmpty()
                               ? playingNote
                               : status.detail + QStringLiteral("\n") + playingNote);
}

void Listener::follow(ListeningSupervisor::Decision decision) {
    if (!isListening)
        return;
    switch (decision.next) {
    case ListeningSupervisor::Next::Stop: {
        const ListeningSupervisor::Status status = supervisor.status();
        failListening(status.text, status.detail);
        return;
    }
    case ListeningSupervisor::Next::Reconnect:
        Log::out("[Application] Reconnecting to the recognition service in ", decision.delayMs,
                 " ms (attempt ", supervisor.attempt(), ")");
        stallWatch.stop();
        reconnectTimer.start(decision.delayMs);
        break;
    case ListeningSupervisor::Next::Nothing:
        break;
    }
    publishStatus();
}

void Listener::onSessionReady() {
    if (!isListening)
        return;
    const long dropped = droppedBuffers.exchange(0);
    if (dropped > 0)
        Log::out("[Application] Dropped ", dropped * 10,
                 " ms of audio while no recognition session was streaming");
    reconnectTimer.stop();
    supervisor.sessionReady(QDateTime::currentMSecsSinceEpoch());
    sinceLastFrame.start();
    stallWatch.start();
    publishStatus();
}

// A half-open connection (a network change) can stay silent for many minutes; the service
// answers every audio packet, so a long silence while audio goes out means it is gone.
void Listener::checkStall() {
    if (!isListening || !asrClient || !supervisor.streaming())
        return;
    if (sinceLastFrame.elapsed() < stallTimeoutMs || !audioSentSinceFrame)
        return;
    Log::err("[Application] The recognition service sent nothing for ", sinceLastFrame.elapsed(),
             " ms");
    follow(supervisor.sessionStalled(QDateTime::currentMSecsSinceEpoch()));
    asrClient->disconnectFromServer();
}

void Listener::onCaptureEnded(int generation, CaptureEnd why, PlatformResult code) {
    if (!isListening || generation != captureGeneration)
        return;
    if (why == CaptureEnd::DeviceFailed) {
        supervisor.captureLost(quint32(code));
        publishStatus();
    }
    // A device that opens and fails at once must not be re-opened in a tight loop.
    const qint64 sinceOpen = captureOpened.isValid() ? captureOpened.elapsed() : kCaptureRetryMs;
    if (sinceOpen < kCaptureRetryMs)
        captureRetryTimer.start(int(kCaptureRetryMs - sinceOpen));
    else
        reopenCapture();
}

// A fresh device layer on whatever the playback device to record is now.
void Listener::reopenCapture() {
    if (!isListening)
        return;
    if (audioCapture)
        audioCapture->stop();
    audioCapture = makeCapture();
    captureOpened.start();
    if (audioCapture->initialize() && audioCapture->start(audioHandler(audioCapture.get()))) {
        Log::out("[Application] Audio capture re-opened");
        supervisor.captureRunning(audioCapture->fellBackToDefault());
        publishStatus();
        return;
    }
    supervisor.captureUnavailable(quint32(audioCapture->lastError()));
    publishStatus();
    captureRetryTimer.start(kCaptureRetryMs);
}

std::unique_ptr<AudioCapture> Listener::makeCapture() {
    openedDevice = deviceSetting;
    auto capture = std::make_unique<AudioCapture>(audioPlatformFactory());
    const int generation = ++captureGeneration;
    // Runs on the capture thread as it ends; the re-opening happens on this thread.
    capture->setEndedCallback([this, generation](CaptureEnd why, PlatformResult code) {
        emit captureEndedOnThread(generation, int(why), code);
    });
    capture->setPlayingCallback([this](const std::vector<PlayingDevice> &now) {
        std::lock_guard<std::mutex> lock(playingMutex);
        playing = now;
    });
    {
        std::lock_guard<std::mutex> lock(playingMutex);
        playing.clear(); // (the last capture's account)
    }
    quietSince = QDateTime::currentMSecsSinceEpoch();
    playingHint.reset();
    return capture;
}

void Listener::setThresholdBuffers(int buffers) {
    threshold = buffers;
    std::lock_guard<std::mutex> lock(detectorMutex);
    detector.setThresholdBuffers(buffers);
}

void Listener::setEarlyBuffers(int buffers) {
    std::lock_guard<std::mutex> lock(detectorMutex);
    detector.setEarlyBuffers(buffers);
}

// Once a second while listening: is the meeting heard, or does it play somewhere else?
void Listener::checkPlaying() {
    std::vector<PlayingDevice> now;
    {
        std::lock_guard<std::mutex> lock(playingMutex);
        now = playing;
    }
    const qint64 heard = std::max(lastLoudAt.load(), quietSince);
    const PlayingHint::Decision decision =
        playingHint.observe(QDateTime::currentMSecsSinceEpoch() - heard, now, followPlaying);
    if (!decision.elsewhere) {
        showPlayingHint(QString(), QString());
        return;
    }
    const QString id = QString::fromStdString(decision.elsewhere->id);
    if (decision.follow) {
        Log::out("[Application] Following the playing device: ", id);
        followDevice(id);
        playingNote = QStringLiteral("已改听「%1」：会议声音在那里播放")
                          .arg(QString::fromStdString(decision.elsewhere->name));
        publishStatus(); // (for this run only: 改听此设备 and 设置 keep a choice)
        return;
    }
    showPlayingHint(id, PlayingHint::text(*decision.elsewhere));
}

void Listener::showPlayingHint(const QString &deviceId, const QString &text) {
    if (deviceId == hintedDevice)
        return;
    hintedDevice = deviceId;
    if (!text.isEmpty())
        Log::out("[Application] Sound plays on another device: ", deviceId);
    playingNote = text;
    publishStatus();
    emit playingElsewhere(deviceId, text);
}

void Listener::followDevice(const QString &deviceId) {
    setDevice(deviceId);
    showPlayingHint(QString(), QString());
    if (isListening)
        reopenCapture();
}

} // namespace Kelvane
