#include "Application.h"

#include "ASRClient.h"
#include "AudioCapture.h"
#include "LLMClient.h"
#include "Log.h"
#include "SpeechFrames.h"
#include "VAD.h"

#include <QDateTime>

#include <algorithm>

namespace Kelvane {

namespace {

// Counts every capture buffer handled in the process, whichever controller handles it.
std::atomic<int> energyLogCounter{0};

constexpr int kBuffersPerBatch = 30;
constexpr size_t kVadFrameSamples = 160;

QString systemPrompt(const QString &direction) {
    static const QString kTemplate = QStringLiteral(
        "你是一个专业的面试助手。用户正在参加 %1 方向的面试。\n"
        "你的任务是根据面试官的问题，快速提供准确、简洁的答案要点。\n"
        "答案应该专业、清晰、有逻辑，适合在面试中回答。\n"
        "\n"
        "回答要求：\n"
        "1. 技术问题：提供专业的技术答案要点\n"
        "2. 行为问题（如：介绍项目经验、团队协作等）：提供STAR法则的回答框架（情境Situation、任务"
        "Task、行动Action、结果Result）\n"
        "3. HR问题（如：职业规划、优缺点等）：提供真诚、积极的回答思路\n"
        "\n"
        "重要规则：\n"
        "- 如果问题是个人隐私问题（如：你叫什么名字、你住哪里、身份证号等个人信息），请只回复：["
        "PERSONAL_QUESTION]，不要有任何其他内容。\n"
        "- 针对 %1 方向的特点，提供最相关的答案。");
    // One pass: text inside the direction is never substituted again.
    return kTemplate.arg(direction);
}

QString userPrompt(const QString &question) {
    return QStringLiteral("面试官问：%1\n请提供答案要点。").arg(question);
}

} // namespace

Application::Application(QObject *parent)
    : Application(AudioPlatformFactory(createDefaultAudioPlatform), parent) {}

Application::Application(AudioPlatformFactory factory, QObject *parent)
    : QObject(parent)
    , defaultAppId(QStringLiteral("1234567890"))
    , defaultAccessToken(QStringLiteral("kelvane_placeholder_access_token"))
    , defaultCluster(QStringLiteral("volcengine_streaming_common"))
    , defaultApiKey(QStringLiteral("sk-00000000000000000000000000000000"))
    , defaultApiUrl(QStringLiteral("https://api.deepseek.com/v1/chat/completions"))
    , defaultModel(QStringLiteral("deepseek-chat"))
    , audioPlatformFactory(std::move(factory)) {
    applyEnvironmentOverrides();
    connect(this, &Application::triggerLLMRequest, this, &Application::askLLM,
            Qt::QueuedConnection);
}

Application::~Application() {
    stopListening();
}

void Application::applyEnvironmentOverrides() {
    const struct {
        const char *name;
        QString *target;
    } overrides[] = {
        {"KELVANE_ASR_APP_ID", &defaultAppId},   {"KELVANE_ASR_ACCESS_TOKEN", &defaultAccessToken},
        {"KELVANE_LLM_API_KEY", &defaultApiKey}, {"KELVANE_LLM_URL", &defaultApiUrl},
        {"KELVANE_LLM_MODEL", &defaultModel},    {"KELVANE_ASR_URL", &asrUrlOverride},
    };
    for (const auto &entry : overrides) {
        const QString value = qEnvironmentVariable(entry.name);
        if (value.isEmpty())
            continue;
        *entry.target = value;
        Log::out("[Application] Using ", entry.name, " from the environment");
    }
}

bool Application::initialize() {
    Log::out("[Application] Initializing...");
    initializeComponents();
    return true;
}

void Application::initializeComponents() {
    audioCapture = std::make_unique<AudioCapture>(audioPlatformFactory());
    if (!audioCapture->initialize()) {
        Log::err("[Application] Failed to initialize audio capture");
        emit statusChanged(QStringLiteral("音频捕获初始化失败"));
        return;
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
    AsrConfig asrConfig;
    asrConfig.appId = defaultAppId;
    asrConfig.accessToken = defaultAccessToken;
    asrConfig.cluster = defaultCluster;
    if (!asrUrlOverride.isEmpty())
        asrConfig.wsUrl = asrUrlOverride;
    asrClient->setConfig(asrConfig);
    asrClient->onResult = [this](const QString &text, bool isFinal) { onASRResult(text, isFinal); };

    llmClient = std::make_unique<LLMClient>(this);
    LlmConfig llmConfig;
    llmConfig.apiKey = defaultApiKey;
    llmConfig.apiUrl = defaultApiUrl;
    llmConfig.model = defaultModel;
    llmConfig.temperature = 0.7f;
    llmConfig.maxTokens = 2000;
    llmClient->setConfig(llmConfig);

    Log::out("[Application] Components initialized");
}

void Application::startListening() {
    if (isListening) {
        Log::out("[Application] Already listening");
        return;
    }
    Log::out("[Application] Starting listening...");
    if (asrClient)
        asrClient->connectToService();

    const bool started =
        audioCapture &&
        audioCapture->start([this](const uint8_t *data, size_t size, int sampleRate, int channels) {
            onAudioData(data, size, sampleRate, channels);
        });
    if (started) {
        isListening = true;
        emit statusChanged(QStringLiteral("正在监听"));
        Log::out("[Application] Listening started");
    } else {
        Log::err("[Application] Failed to start audio capture");
        emit statusChanged(QStringLiteral("启动失败"));
    }
}

void Application::stopListening() {
    if (!isListening)
        return;
    Log::out("[Application] Stopping listening...");
    audioCapture->stop();
    if (asrClient)
        asrClient->disconnectFromServer();
    isListening = false;
    emit statusChanged(QStringLiteral("已停止"));
}

void Application::setSilenceThreshold(int ms) {
    const int frames = ms / 10;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        detector.setThresholdBuffers(frames);
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

    // A buffer too short to yield a 16 kHz sample carries no loudness at all; counting it
    // would count it as sound.
    if (frame.measured) {
        int silentBuffers = 0;
        {
            std::lock_guard<std::mutex> lock(detectorMutex);
            const QString question = detector.onBuffer(frame.loud());
            if (!question.isEmpty())
                emit triggerLLMRequest(question);
            silentBuffers = detector.silentBuffers();
        }

        if (logIndex % 50 == 0) {
            const size_t measured = std::min(mono.size(), SpeechFrames::kEnergyWindow);
            const auto [minimum, maximum] =
                std::minmax_element(mono.begin(), mono.begin() + std::ptrdiff_t(measured));
            const auto nonZero =
                std::count_if(mono.begin(), mono.begin() + std::ptrdiff_t(measured),
                              [](int16_t sample) { return sample != 0; });
            Log::out("[Audio] Energy: ", frame.energy,
                     frame.loud() ? " (有声音)" : " (静音或低音量)", ", SilentFrames: ", silentBuffers,
                     ", Range: [", *minimum, ", ", *maximum, "]", ", NonZero: ", nonZero, "/",
                     measured);
        }
    }

    if (asrClient && asrClient->isConnected() && !mono.empty()) {
        pendingAudio.insert(pendingAudio.end(), mono.begin(), mono.end());
        ++pendingChunkCount;
        if (pendingChunkCount >= kBuffersPerBatch) {
            asrClient->sendAudio(reinterpret_cast<const char *>(pendingAudio.data()),
                                 pendingAudio.size() * sizeof(int16_t));
            pendingAudio.clear();
            pendingChunkCount = 0;
        }
    }

    for (size_t k = 0; (k + 1) * kVadFrameSamples <= mono.size(); ++k)
        vad->process(mono.data() + k * kVadFrameSamples, kVadFrameSamples);
}

void Application::onASRResult(const QString &text, bool isFinal) {
    QString newText;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        newText = detector.onResult(text, isFinal);
    }
    emit asrResult(newText, isFinal);
}

void Application::askLLM(const QString &question) {
    const QString timestamp =
        QDateTime::currentDateTime().toString(QStringLiteral("[HH:mm:ss.zzz]"));
    Log::out(timestamp, " [Application] ⏰ 新问题触发: ", question);

    const int questionId = ++questionCounter;
    emit newQuestionStarted(questionId, question);

    const QList<ChatMessage> messages{
        {QStringLiteral("system"), systemPrompt(interviewDirection)},
        {QStringLiteral("user"), userPrompt(question)},
    };
    Log::out("[Application] 📤 问题ID=", questionId, " 发送消息数量=", messages.size());
    for (int i = 0; i < messages.size(); ++i)
        Log::out("[Application] 消息", i, " role=", messages[i].role,
                 " content前50字=", messages[i].content.left(50), "...");

    if (!llmClient)
        return;
    llmClient->sendChatRequest(
        messages,
        [this, questionId](const QString &text, bool isDone) {
            emit llmResponse(questionId, text, isDone);
        },
        [questionId](const QString &error) {
            Log::err("[Application] LLM error (question ", questionId, "): ", error);
        });
}

} // namespace Kelvane
