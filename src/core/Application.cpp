#include "Application.h"

#include "ASRClient.h"
#include "AudioCapture.h"
#include "LLMClient.h"
#include "Log.h"
#include "PromptBuilder.h"
#include "SpeechFrames.h"
#include "VAD.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace Kelvane {

namespace {

// Counts every capture buffer handled in the process, whichever controller handles it.
std::atomic<int> energyLogCounter{0};

constexpr int kBuffersPerBatch = 30;
constexpr qint64 kCaptureRetryMs = 1000;
// The level meter moves every this many buffers (50 ms).
constexpr int kBuffersPerLevel = 5;
constexpr size_t kVadFrameSamples = 160;

} // namespace

Application::Application(QObject *parent)
    : Application(AudioPlatformFactory(), parent) {}

Application::Application(AudioPlatformFactory factory, QObject *parent)
    : QObject(parent)
    , defaultCluster(QStringLiteral("volcengine_streaming_common"))
    , audioPlatformFactory(std::move(factory)) {
    if (!audioPlatformFactory) {
        // The device the user chose, read anew at every open (it may have come back since).
        audioPlatformFactory = [this]() {
            return createAudioPlatform(settings.value(Settings::AudioDevice).toStdString());
        };
    }
    applySettings(Settings::load());
    connect(this, &Application::triggerLLMRequest, this, &Application::askLLM,
            Qt::QueuedConnection);
    reconnectTimer.setSingleShot(true);
    connect(&reconnectTimer, &QTimer::timeout, this, [this]() {
        if (isListening && asrClient)
            asrClient->connectToService();
    });
    stallWatch.setInterval(1000);
    connect(&stallWatch, &QTimer::timeout, this, &Application::checkStall);
    // The capture thread's hand-overs, like triggerLLMRequest: queued signals.
    connect(
        this, &Application::speechResumed, this,
        [this]() {
            earlyGrace.stop();
            cancelEarly("speech resumed");
        },
        Qt::QueuedConnection);
    // The pause's audio reached the recogniser as the point passed; its answer may still
    // change the text, and a request for the old text would only be cancelled again.
    earlyGrace.setSingleShot(true);
    earlyGrace.setInterval(int(EarlyRequestPlan::kRecogniserGraceMs));
    connect(
        this, &Application::earlyQuestionReady, this,
        [this]() {
            if (!earlyGrace.isActive())
                earlyGrace.start();
        },
        Qt::QueuedConnection);
    connect(&earlyGrace, &QTimer::timeout, this, [this]() {
        QString question;
        {
            std::lock_guard<std::mutex> lock(detectorMutex);
            question = detector.earlyQuestion(true);
        }
        sendEarly(question);
    });
    connect(
        this, &Application::captureEndedOnThread, this,
        [this](int generation, int why, int code) {
            onCaptureEnded(generation, CaptureEnd(why), PlatformResult(code));
        },
        Qt::QueuedConnection);
    // What each question's answer says, for the context of the questions after it.
    connect(this, &Application::llmResponse, this,
            [this](int questionId, const QString &text, bool) { answers[questionId] += text; });
    connect(this, &Application::answerRestarted, this,
            [this](int questionId) { answers.remove(questionId); });
    captureRetryTimer.setSingleShot(true);
    connect(&captureRetryTimer, &QTimer::timeout, this, &Application::reopenCapture);
}

Application::~Application() {
    stopListening();
}

void Application::applySettings(const Settings &newSettings) {
    settings = newSettings;
    for (const QString &key : Settings::keys())
        if (settings.fromEnvironment(key))
            Log::out("[Application] Using ", Settings::environmentVariable(key),
                     " from the environment");
    defaultAppId = settings.value(Settings::AsrAppId);
    defaultAccessToken = settings.value(Settings::AsrAccessToken);
    defaultApiKey = settings.value(Settings::LlmApiKey);
    defaultApiUrl = settings.value(Settings::LlmUrl);
    defaultModel = settings.value(Settings::LlmModel);
    earlyRequests = Settings::isOn(settings.value(Settings::LlmEarlyRequest), true);
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        detector.setEarlyBuffers(earlyBuffersFor(thresholdBuffers));
    }
    if (asrClient)
        asrClient->setConfig(recognitionConfig());
    if (llmClient)
        llmClient->setConfig(chatConfig());
}

AsrConfig Application::recognitionConfig() const {
    AsrConfig config;
    config.appId = defaultAppId;
    config.accessToken = defaultAccessToken;
    config.cluster = defaultCluster;
    config.resourceId = settings.value(Settings::AsrResourceId);
    config.wsUrl = settings.value(Settings::AsrUrl);
    return config;
}

LlmConfig Application::chatConfig() const {
    LlmConfig config;
    config.apiKey = defaultApiKey;
    config.apiUrl = defaultApiUrl;
    config.model = defaultModel;
    config.temperature = 0.7f;
    config.maxTokens = 2000;
    config.thinking = Settings::isOn(settings.value(Settings::LlmThinking), false);
    return config;
}

bool Application::initialize() {
    Log::out("[Application] Initializing...");
    initializeComponents();
    return true;
}

void Application::initializeComponents() {
    // The rest is made whatever capture does: a sound server may start after the program, and
    // 开始 makes a fresh capture then.
    audioCapture = makeCapture();
    captureFresh = audioCapture->initialize();
    if (!captureFresh) {
        Log::err("[Application] Failed to initialize audio capture");
        emit statusChanged(QStringLiteral("音频捕获初始化失败"));
    }

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
    asrClient->setConfig(recognitionConfig());
    asrClient->onResult = [this](const QString &text, bool isFinal) { onASRResult(text, isFinal); };
    connect(asrClient.get(), &ASRClient::sessionReady, this, &Application::onSessionReady);
    connect(asrClient.get(), &ASRClient::sessionEnded, this, &Application::onSessionEnded);
    connect(asrClient.get(), &ASRClient::connectionFailed, this, &Application::onConnectionFailed);
    connect(asrClient.get(), &ASRClient::sessionRefused, this, &Application::onSessionRefused);
    connect(asrClient.get(), &ASRClient::serviceError, this, &Application::onServiceError);
    connect(asrClient.get(), &ASRClient::frameReceived, this, [this]() {
        sinceLastFrame.start();
        audioSentSinceFrame.store(false);
    });

    llmClient = std::make_unique<LLMClient>(this);
    llmClient->setConfig(chatConfig());

    Log::out("[Application] Components initialized");
}

void Application::startListening() {
    if (isListening) {
        Log::out("[Application] Already listening");
        return;
    }
    Log::out("[Application] Starting listening...");
    // Settings changed since the last start apply now, the capture device among them.
    applySettings(Settings::load());
    // Only the capture opened at start-up is used as it is: one that ran before may sit on a
    // server connection that died while stopped (a restarted server, a laptop that slept).
    if (!captureFresh || settings.value(Settings::AudioDevice) != openedDevice) {
        audioCapture = makeCapture();
        audioCapture->initialize();
    }
    captureFresh = false;
    isListening = true;
    supervisor.start();
    if (asrClient)
        asrClient->connectToService();
    captureOpened.start();
    if (!audioCapture->start(audioHandler())) {
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

void Application::stopListening() {
    if (!isListening)
        return;
    Log::out("[Application] Stopping listening...");
    endListening();
    setStatus(QStringLiteral("已停止"));
}

// Stops capture and ends the recognition session; the caller says why on the status line.
void Application::endListening() {
    isListening = false;
    cancelEarly("stopped");
    reconnectTimer.stop();
    stallWatch.stop();
    captureRetryTimer.stop();
    earlyGrace.stop();
    if (audioCapture)
        audioCapture->stop();
    emit inputLevel(0);
    if (asrClient) {
        asrClient->finishStreaming();
        asrClient->disconnectFromServer();
    }
    emit listeningChanged(false);
}

void Application::failListening(const QString &status, const QString &detail) {
    Log::err("[Application] Listening stopped: ", status, " ", detail);
    endListening();
    setStatus(status, detail);
}

AudioDataCallback Application::audioHandler() {
    return [this](const uint8_t *data, size_t size, int sampleRate, int channels) {
        onAudioData(data, size, sampleRate, channels);
    };
}

void Application::setStatus(const QString &status, const QString &detail) {
    statusDetail_ = detail;
    emit statusChanged(status);
}

void Application::publishStatus() {
    if (!isListening)
        return;
    const ListeningSupervisor::Status status = supervisor.status();
    setStatus(status.text, status.detail);
}

void Application::follow(ListeningSupervisor::Decision decision) {
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

void Application::onSessionReady() {
    if (!isListening)
        return;
    const long dropped = droppedBuffers.exchange(0);
    if (dropped > 0)
        Log::out("[Application] Dropped ", dropped * 10,
                 " ms of audio while no recognition session was streaming");
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        detector.startNewTranscript();
    }
    reconnectTimer.stop();
    supervisor.sessionReady(QDateTime::currentMSecsSinceEpoch());
    sinceLastFrame.start();
    stallWatch.start();
    publishStatus();
}

void Application::onConnectionFailed(int httpStatus, const QString &error) {
    if (isListening && !reconnectTimer.isActive())
        follow(supervisor.connectionFailed(httpStatus, error));
}

void Application::onSessionRefused(int code, const QString &message) {
    if (isListening && !reconnectTimer.isActive())
        follow(supervisor.sessionRefused(code, message));
}

void Application::onServiceError(quint32 code, const QString &message) {
    if (isListening && !reconnectTimer.isActive())
        follow(supervisor.serviceError(code, message));
}

void Application::onSessionEnded() {
    stallWatch.stop();
    if (isListening && !reconnectTimer.isActive())
        follow(supervisor.sessionEnded(QDateTime::currentMSecsSinceEpoch()));
}

// A half-open connection (a network change) can stay silent for many minutes; the service
// answers every audio packet, so a long silence while audio goes out means it is gone.
void Application::checkStall() {
    if (!isListening || !asrClient || !supervisor.streaming())
        return;
    if (sinceLastFrame.elapsed() < stallTimeoutMs || !audioSentSinceFrame)
        return;
    Log::err("[Application] The recognition service sent nothing for ", sinceLastFrame.elapsed(),
             " ms");
    follow(supervisor.sessionStalled(QDateTime::currentMSecsSinceEpoch()));
    asrClient->disconnectFromServer();
}

void Application::onCaptureEnded(int generation, CaptureEnd why, PlatformResult code) {
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
void Application::reopenCapture() {
    if (!isListening)
        return;
    if (audioCapture)
        audioCapture->stop();
    audioCapture = makeCapture();
    captureOpened.start();
    if (audioCapture->initialize() && audioCapture->start(audioHandler())) {
        Log::out("[Application] Audio capture re-opened");
        supervisor.captureRunning(audioCapture->fellBackToDefault());
        publishStatus();
        return;
    }
    supervisor.captureUnavailable(quint32(audioCapture->lastError()));
    publishStatus();
    captureRetryTimer.start(kCaptureRetryMs);
}

std::unique_ptr<AudioCapture> Application::makeCapture() {
    openedDevice = settings.value(Settings::AudioDevice);
    auto capture = std::make_unique<AudioCapture>(audioPlatformFactory());
    const int generation = ++captureGeneration;
    // Runs on the capture thread as it ends; the re-opening happens on this thread.
    capture->setEndedCallback([this, generation](CaptureEnd why, PlatformResult code) {
        emit captureEndedOnThread(generation, int(why), code);
    });
    return capture;
}

void Application::setSilenceThreshold(int ms) {
    // Even a threshold under 10 ms waits for one silent buffer: zero would turn every new
    // partial result into a question.
    const int frames = std::max(1, ms / 10);
    thresholdBuffers = frames;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        detector.setThresholdBuffers(frames);
        detector.setEarlyBuffers(earlyBuffersFor(frames));
    }
    Log::out("[Application] Silence threshold set to ", ms, "ms (", frames, " frames)");
}

void Application::setInterviewDirection(const QString &direction) {
    interviewDirection = direction;
    Log::out("[Application] Interview direction set to: ", direction);
}

void Application::onAudioData(const uint8_t *data, size_t size, int sampleRate, int channels) {
    const auto frame = speechFrames->convert(reinterpret_cast<const float *>(data),
                                             size / sizeof(float), sampleRate, channels);
    const std::vector<int16_t> &mono = frame.samples;
    const int logIndex = energyLogCounter.fetch_add(1) + 1;
    int batchBuffers = kBuffersPerBatch;

    // A buffer too short to yield a 16 kHz sample carries no loudness at all; counting it
    // would count it as sound.
    if (frame.measured) {
        const bool loud = loudnessGate.isSound(frame.energy);
        int silentBuffers = 0;
        QString early;
        bool resumed = false;
        {
            std::lock_guard<std::mutex> lock(detectorMutex);
            resumed = loud && detector.silentBuffers() > 0;
            const QString question = detector.onBuffer(loud);
            if (!question.isEmpty()) {
                triggeredAt.store(QDateTime::currentMSecsSinceEpoch());
                emit triggerLLMRequest(question);
            }
            early = detector.earlyQuestion();
            silentBuffers = detector.silentBuffers();
            batchBuffers = detector.audioBatchBuffers(kBuffersPerBatch);
        }
        if (loud)
            lastLoudAt.store(QDateTime::currentMSecsSinceEpoch());
        reportLevel(frame.energy);
        if (resumed)
            emit speechResumed();
        if (!early.isEmpty())
            emit earlyQuestionReady(early);

        if (logIndex % 50 == 0) {
            const size_t measured = std::min(mono.size(), SpeechFrames::kEnergyWindow);
            const auto [minimum, maximum] =
                std::minmax_element(mono.begin(), mono.begin() + std::ptrdiff_t(measured));
            const auto nonZero =
                std::count_if(mono.begin(), mono.begin() + std::ptrdiff_t(measured),
                              [](int16_t sample) { return sample != 0; });
            Log::out("[Audio] Energy: ", frame.energy, loud ? " (有声音)" : " (静音或低音量)",
                     ", SilentFrames: ", silentBuffers, ", Range: [", *minimum, ", ", *maximum, "]",
                     ", NonZero: ", nonZero, "/", measured);
        }
    }

    if (!asrClient || !asrClient->isStreaming()) {
        // No session to hear it: dropped, not queued, and nothing stale waits for the next one.
        droppedBuffers.fetch_add(1);
        pendingAudio.clear();
        pendingChunkCount = 0;
    } else if (!mono.empty()) {
        pendingAudio.insert(pendingAudio.end(), mono.begin(), mono.end());
        ++pendingChunkCount;
        if (pendingChunkCount >= batchBuffers) {
            asrClient->sendAudio(reinterpret_cast<const char *>(pendingAudio.data()),
                                 pendingAudio.size() * sizeof(int16_t));
            audioSentSinceFrame.store(true);
            pendingAudio.clear();
            pendingChunkCount = 0;
        }
    }

    for (size_t k = 0; (k + 1) * kVadFrameSamples <= mono.size(); ++k)
        vad->process(mono.data() + k * kVadFrameSamples, kVadFrameSamples);
}

// The meter shows -60 dBFS to full scale, the range in which playback is heard at all.
int Application::levelPercent(double energy) {
    if (!(energy > 0.0))
        return 0;
    const double dbfs = 20.0 * std::log10(energy / 100.0);
    return std::clamp(int(std::lround((dbfs + 60.0) * 100.0 / 60.0)), 0, 100);
}

void Application::reportLevel(double energy) {
    levelPeak = std::max(levelPeak, float(energy));
    if (++levelBuffers < kBuffersPerLevel)
        return;
    emit inputLevel(levelPercent(levelPeak));
    levelPeak = 0.0f;
    levelBuffers = 0;
}

void Application::onASRResult(const QString &text, bool isFinal) {
    QString newText;
    QString current;
    QString lateEarly;
    int asked = 0;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        newText = detector.onResult(text, isFinal);
        if (!text.isEmpty())
            supervisor.textArrived();
        current = detector.currentText();
        lateEarly = detector.earlyQuestion(true);
        asked = detector.questionsAsked();
    }
    // The recogniser answered the pause's audio while the early request waited for it.
    if (earlyGrace.isActive() && !lateEarly.isEmpty()) {
        earlyGrace.stop();
        sendEarly(lateEarly);
    }
    // The recogniser caught up during the pause: request what it says now.
    if (earlyPlan.outdatedBy(asked, current)) {
        cancelEarly("text changed");
        if (!lateEarly.isEmpty())
            sendEarly(lateEarly);
    }
    emit asrResult(newText, isFinal);
}

int Application::earlyBuffersFor(int threshold) const {
    return earlyRequests ? earlyPlan.earlyBuffers(threshold) : 0;
}

// Request to first delta: the service's speed, which places the early point.
void Application::measureFirstToken(qint64 sentAtMs) {
    earlyPlan.recordFirstToken(QDateTime::currentMSecsSinceEpoch() - sentAtMs);
    std::lock_guard<std::mutex> lock(detectorMutex);
    detector.setEarlyBuffers(earlyBuffersFor(thresholdBuffers));
}

// The question as it stands, asked before the pause is long enough to end it; nothing of it
// reaches the window unless askLLM adopts it.
void Application::sendEarly(const QString &question) {
    // (the point may move while a pause goes on: the same question is not asked twice)
    if (!isListening || !llmClient || !earlyPlan.wantsToSend(question))
        return;
    cancelEarly("superseded");
    int asked = 0;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        asked = detector.questionsAsked();
    }
    const QList<ChatMessage> messages = chatMessages(question);
    const int serial = earlyPlan.begin(question, messages, asked);
    const qint64 sentAt = QDateTime::currentMSecsSinceEpoch();
    auto firstDelta = std::make_shared<bool>(true);
    Log::out("[Application] Early request sent: ", question);
    // Before adoption the reply is kept in the plan; after it, it goes to its question.
    const int requestId = llmClient->sendChatRequest(
        messages,
        [this, serial, sentAt, firstDelta](const QString &text, bool isDone) {
            // (the role delta comes with the headers: only text tells the service's speed)
            if (!text.isEmpty() && std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            if (const int questionId = earlyPlan.replyArrived(serial, text, isDone))
                emit llmResponse(questionId, text, isDone);
        },
        [this, serial](const QString &error) {
            if (const int questionId = earlyPlan.failureArrived(serial, error)) {
                Log::err("[Application] LLM error (question ", questionId, "): ", error);
                emit answerFailed(questionId, error);
            }
        },
        [this, serial, sentAt, firstDelta]() {
            if (std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            if (const int questionId = earlyPlan.reasoningArrived(serial))
                emit answerThinking(questionId);
        });
    earlyPlan.sent(serial, requestId);
}

void Application::cancelEarly(const char *why) {
    const auto &early = earlyPlan.inFlight();
    if (!early)
        return;
    Log::out("[Application] Early request cancelled (", why, "): ", early->text);
    const int requestId = earlyPlan.withdraw();
    if (llmClient && requestId)
        llmClient->cancelRequest(requestId);
}

// The question ended as it was requested early: its answer is already on its way.
bool Application::adoptEarly(int questionId, const QString &question) {
    if (!earlyPlan.inFlight())
        return false;
    const QString earlyText = earlyPlan.inFlight()->text;
    const bool failedBefore = earlyPlan.inFlight()->failed;
    const auto outcome = earlyPlan.adopt(questionId, question);
    if (!outcome.request) {
        Log::out("[Application] Early request cancelled (",
                 failedBefore ? "failed before the question ended" : "another question",
                 "): ", earlyText);
        if (llmClient && outcome.cancelId)
            llmClient->cancelRequest(outcome.cancelId);
        return false;
    }
    const EarlyRequestPlan::Request &early = *outcome.request;
    askedWith.insert(questionId, early.messages);
    if (outcome.decision == EarlyRequestPlan::Adoption::ShowFailure) {
        // The same request would be refused again: say so now, not a request later.
        Log::err("[Application] LLM error (question ", questionId, "): ", early.error);
        emit answerFailed(questionId, early.error);
        return true;
    }
    Log::out("[Application] Early request adopted for question ", questionId);
    if (outcome.showThinking)
        emit answerThinking(questionId);
    if (!early.answer.isEmpty())
        emit llmResponse(questionId, early.answer, false);
    if (early.done)
        emit llmResponse(questionId, QString(), true);
    return true;
}

void Application::askLLM(const QString &question) {
    const QString timestamp =
        QDateTime::currentDateTime().toString(QStringLiteral("[HH:mm:ss.zzz]"));
    Log::out(timestamp, " [Application] ⏰ 新问题触发: ", question);

    const int questionId = ++questionCounter;
    questionTexts.insert(questionId, question);
    emit newQuestionStarted(questionId, question);
    emit questionTiming(questionId, lastLoudAt.load(), triggeredAt.load());
    if (!adoptEarly(questionId, question))
        sendQuestion(questionId, question);
}

void Application::answerNow() {
    QString question;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        question = detector.askNow();
    }
    if (question.isEmpty())
        return;
    Log::out("[Application] Answer now: ", question);
    triggeredAt.store(QDateTime::currentMSecsSinceEpoch());
    askLLM(question);
}

void Application::askAgain(int questionId) {
    const auto question = questionTexts.constFind(questionId);
    if (question == questionTexts.constEnd())
        return;
    Log::out("[Application] Asking question ", questionId, " again");
    // A key fixed in 设置 since is used now, not only after 停止 and 开始.
    applySettings(Settings::load());
    emit answerRestarted(questionId);
    sendQuestion(questionId, *question);
}

// The messages the next question is asked with; an early request sends the same.
QList<ChatMessage> Application::chatMessages(const QString &question) const {
    PromptBuilder prompt;
    prompt.direction = interviewDirection;
    prompt.resume = settings.value(Settings::ProfileResume);
    prompt.jobDescription = settings.value(Settings::ProfileJobDescription);
    prompt.contextRounds = settings.value(Settings::LlmContextRounds).toInt();
    QList<PromptBuilder::Exchange> earlier;
    for (auto it = questionTexts.constBegin(); it != questionTexts.constEnd(); ++it)
        earlier.append({it.value(), answers.value(it.key())});
    return prompt.messages(question, earlier);
}

void Application::sendQuestion(int questionId, const QString &question) {
    // Asked again, a question keeps the context it was first asked with.
    if (!askedWith.contains(questionId))
        askedWith.insert(questionId, chatMessages(question));
    const QList<ChatMessage> messages = askedWith.value(questionId);
    Log::out("[Application] 📤 问题ID=", questionId, " 发送消息数量=", messages.size(),
             " 简历字数=", PromptBuilder::bounded(settings.value(Settings::ProfileResume)).size(),
             " 职位描述字数=",
             PromptBuilder::bounded(settings.value(Settings::ProfileJobDescription)).size());
    for (int i = 0; i < messages.size(); ++i)
        Log::out("[Application] 消息", i, " role=", messages[i].role,
                 " content前50字=", messages[i].content.left(50), "...");
    // (the profile stands at the end of the system prompt: never in these lines)

    if (!llmClient)
        return;
    const qint64 sentAt = QDateTime::currentMSecsSinceEpoch();
    auto firstDelta = std::make_shared<bool>(true);
    llmClient->sendChatRequest(
        messages,
        [this, questionId, sentAt, firstDelta](const QString &text, bool isDone) {
            if (!text.isEmpty() && std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            emit llmResponse(questionId, text, isDone);
        },
        [this, questionId](const QString &error) {
            Log::err("[Application] LLM error (question ", questionId, "): ", error);
            emit answerFailed(questionId, error);
        },
        [this, questionId, sentAt, firstDelta]() {
            if (std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            emit answerThinking(questionId);
        });
}

} // namespace Kelvane
