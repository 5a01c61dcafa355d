#pragma once

#include "QuestionDetector.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace Kelvane {

class AudioCapture;
class AudioPlatform;
class SpeechFrames;
class VAD;
class ASRClient;
class LLMClient;

// Makes the device layer for each AudioCapture the controller creates.
using AudioPlatformFactory = std::function<std::unique_ptr<AudioPlatform>()>;

// The controller: owns every non-visual component, runs listening, turns capture buffers into
// recognition audio and silence decisions, and hands finished questions to the chat service.
class Application : public QObject {
    Q_OBJECT

public:
    explicit Application(QObject *parent = nullptr);
    // Uses the given device layer instead of the platform's own.
    explicit Application(AudioPlatformFactory audioPlatformFactory, QObject *parent = nullptr);
    ~Application() override;

    bool initialize();
    void startListening();
    void stopListening();
    void setSilenceThreshold(int ms);
    void setInterviewDirection(const QString &direction);

signals:
    void asrResult(const QString &text, bool isFinal);
    void llmResponse(int questionId, const QString &text, bool isDone);
    void newQuestionStarted(int questionId, const QString &question);
    void statusChanged(const QString &status);
    void triggerLLMRequest(const QString &question);

private:
    void initializeComponents();
    void askLLM(const QString &question);
    void onAudioData(const uint8_t *data, size_t size, int sampleRate, int channels);
    void onASRResult(const QString &text, bool isFinal);
    void applyEnvironmentOverrides();

    std::unique_ptr<AudioCapture> audioCapture;
    std::unique_ptr<SpeechFrames> speechFrames;
    std::unique_ptr<VAD> vad;
    std::unique_ptr<ASRClient> asrClient;
    std::unique_ptr<LLMClient> llmClient;
    QString interviewDirection;
    bool isListening = false;
    QString defaultAppId;
    QString defaultAccessToken;
    QString defaultCluster;
    QString defaultApiKey;
    QString defaultApiUrl;
    QString defaultModel;
    int questionCounter = 0;
    std::vector<int16_t> pendingAudio;
    int pendingChunkCount = 0;

    // Beyond the built-in settings: the recognition endpoint may come from the environment.
    QString asrUrlOverride;
    AudioPlatformFactory audioPlatformFactory;
    // The capture thread's silence counting and the GUI thread's results meet in the detector.
    QuestionDetector detector;
    std::mutex detectorMutex;
};

} // namespace Kelvane
