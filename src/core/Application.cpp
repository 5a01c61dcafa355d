#include "Application.h"

#include "Asker.h"
#include "Hotwords.h"
#include "Log.h"
#include "PromptBuilder.h"
#include "QuestionBook.h"

#include <algorithm>
#include <utility>

namespace Kelvane {

Application::Application(QObject *parent)
    : Application(AudioPlatformFactory(), parent) {}

Application::Application(AudioPlatformFactory factory, QObject *parent)
    : QObject(parent)
    , questionBook(new QuestionBook(this)) {
    if (!factory) {
        // The device the user chose, read anew at every open (it may have come back since).
        factory = [this]() { return createAudioPlatform(listener->device().toStdString()); };
    }
    listener = std::make_unique<Listener>(std::move(factory), this);
    asker = std::make_unique<Asker>(questionBook, this);
    wire();
    applySettings(Settings::load());
}

Application::~Application() {
    stopListening();
    // Replies in flight may still report: the asker goes first, while the listener lives.
    asker.reset();
    listener.reset();
}

void Application::wire() {
    Listener *ears = listener.get();
    Asker *mouth = asker.get();
    // The capture thread's one hand-over of a question: queued to this thread.
    connect(
        ears, &Listener::triggerLLMRequest, this,
        [this](const QString &question, int span) {
            asker->ask(question, span, listener->speechEndedAtMs(), listener->triggeredAtMs());
        },
        Qt::QueuedConnection);
    connect(ears, &Listener::remarkHeard, mouth, &Asker::noteRemark, Qt::QueuedConnection);
    connect(ears, &Listener::questionCorrected, mouth, &Asker::correct);
    connect(ears, &Listener::earlyQuestion, mouth, &Asker::sendEarly);
    connect(ears, &Listener::textChanged, mouth, &Asker::onTextChanged);
    connect(
        ears, &Listener::speechResumed, mouth, [mouth]() { mouth->cancelEarly("speech resumed"); },
        Qt::QueuedConnection);
    connect(ears, &Listener::listeningChanged, mouth, [mouth](bool on) {
        if (!on)
            mouth->cancelEarly("stopped");
    });
    connect(mouth, &Asker::earlyPointMoved, this, &Application::placeEarlyPoint);

    connect(ears, &Listener::asrResult, this, &Application::asrResult);
    connect(ears, &Listener::statusChanged, this, &Application::statusChanged);
    connect(ears, &Listener::inputLevel, this, &Application::inputLevel);
    connect(ears, &Listener::listeningChanged, this, &Application::listeningChanged);
    connect(ears, &Listener::playingElsewhere, this, &Application::playingElsewhere);
    connect(mouth, &Asker::newQuestionStarted, this, &Application::newQuestionStarted);
    connect(mouth, &Asker::questionTiming, this, &Application::questionTiming);
    connect(mouth, &Asker::llmResponse, this, &Application::llmResponse);
    connect(mouth, &Asker::answerFailed, this, &Application::answerFailed);
    connect(mouth, &Asker::answerThinking, this, &Application::answerThinking);
    connect(mouth, &Asker::answerRestarted, this, &Application::answerRestarted);
}

void Application::applySettings(const Settings &newSettings) {
    settings = newSettings;
    for (const QString &key : Settings::keys())
        if (settings.fromEnvironment(key))
            Log::out("[Application] Using ", Settings::environmentVariable(key),
                     " from the environment");
    AsrConfig recognition;
    recognition.appId = settings.value(Settings::AsrAppId);
    recognition.accessToken = settings.value(Settings::AsrAccessToken);
    recognition.cluster = QStringLiteral("volcengine_streaming_common");
    recognition.resourceId = settings.value(Settings::AsrResourceId);
    recognition.wsUrl = settings.value(Settings::AsrUrl);
    recognition.hotwords = Hotwords::from(settings.value(Settings::AsrHotwords),
                                          settings.value(Settings::ProfileResume),
                                          settings.value(Settings::ProfileJobDescription));
    listener->setRecognitionConfig(recognition);
    listener->setDevice(settings.value(Settings::AudioDevice));
    listener->setFollowPlaying(Settings::isOn(settings.value(Settings::AudioFollowPlaying), false));

    LlmConfig chat;
    chat.apiKey = settings.value(Settings::LlmApiKey);
    chat.apiUrl = settings.value(Settings::LlmUrl);
    chat.model = settings.value(Settings::LlmModel);
    chat.temperature = 0.7f;
    chat.maxTokens = 2000;
    chat.thinking = Settings::isOn(settings.value(Settings::LlmThinking), false);
    asker->setConfig(chat);

    PromptBuilder prompt;
    prompt.direction = interviewDirection;
    prompt.resume = settings.value(Settings::ProfileResume);
    prompt.jobDescription = settings.value(Settings::ProfileJobDescription);
    prompt.contextRounds = settings.value(Settings::LlmContextRounds).toInt();
    asker->setPrompt(prompt);
    asker->setEarlyRequests(Settings::isOn(settings.value(Settings::LlmEarlyRequest), true));
    placeEarlyPoint();
}

void Application::placeEarlyPoint() {
    listener->setEarlyBuffers(asker->earlyBuffers(listener->thresholdBuffers()));
}

bool Application::initialize() {
    Log::out("[Application] Initializing...");
    if (!listener->initialize()) {
        Log::err("[Application] Failed to initialize audio capture");
        emit statusChanged(QStringLiteral("音频捕获初始化失败"));
    }
    Log::out("[Application] Components initialized");
    return true;
}

bool Application::listening() const {
    return listener->listening();
}

QString Application::statusDetail() const {
    return listener->statusDetail();
}

void Application::startListening() {
    if (listener->listening()) {
        Log::out("[Application] Already listening");
        return;
    }
    // Settings changed since the last start apply now, the capture device among them.
    applySettings(Settings::load());
    listener->start();
}

void Application::stopListening() {
    listener->stop();
}

void Application::setSilenceThreshold(int ms) {
    // Even a threshold under 10 ms waits for one silent buffer: zero would turn every new
    // partial result into a question.
    const int buffers = std::max(1, ms / 10);
    listener->setThresholdBuffers(buffers);
    placeEarlyPoint();
    Log::out("[Application] Silence threshold set to ", ms, "ms (", buffers, " frames)");
}

void Application::setInterviewDirection(const QString &direction) {
    interviewDirection = direction;
    asker->setDirection(direction);
    Log::out("[Application] Interview direction set to: ", direction);
}

void Application::answerNow() {
    const QuestionDetector::Ended heard = listener->askNow();
    if (heard.isEmpty())
        return;
    if (heard.remark) {
        asker->noteRemark(heard.text, heard.span);
        return;
    }
    Log::out("[Application] Answer now: ", heard.text);
    asker->ask(heard.text, heard.span, listener->speechEndedAtMs(), listener->triggeredAtMs());
}

void Application::skip() {
    const QString dropped = listener->dropHeard();
    if (!dropped.isEmpty()) {
        Log::out("[Application] 跳过: dropped while heard: ", dropped);
        asker->cancelEarly("skipped");
        return;
    }
    if (const int newest = questionBook->newestQuestion())
        asker->withdraw(newest);
}

void Application::merge() {
    const int newest = questionBook->newestQuestion();
    if (const int before = questionBook->questionBefore(newest))
        asker->merge(before, newest);
}

bool Application::canSkip() const {
    return !listener->hearing().isEmpty() || questionBook->newestQuestion() != 0;
}

bool Application::canMerge() const {
    return questionBook->questionBefore(questionBook->newestQuestion()) != 0;
}

void Application::followPlaying(const QString &deviceId) {
    Log::out("[Application] Recording the playing device: ", deviceId);
    Settings::store(Settings::AudioDevice, deviceId);
    listener->followDevice(deviceId);
}

void Application::askAgain(int questionId) {
    // A key fixed in 设置 since is used now, not only after 停止 and 开始.
    applySettings(Settings::load());
    asker->askAgain(questionId);
}

} // namespace Kelvane
