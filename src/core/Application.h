#pragma once

#include "ASRClient.h"
#include "AudioCapture.h"
#include "EarlyRequestPlan.h"
#include "LLMClient.h"
#include "ListeningSupervisor.h"
#include "LoudnessGate.h"
#include "QuestionDetector.h"
#include "Settings.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Kelvane {

class SpeechFrames;
class VAD;

// Makes the device layer for each AudioCapture the controller creates.
using AudioPlatformFactory = std::function<std::unique_ptr<AudioPlatform>()>;

// The controller: owns every non-visual component, runs listening, turns capture buffers into
// recognition audio and silence decisions, and hands finished questions to the chat service.
class Application : public QObject {
    Q_OBJECT

public:
    explicit Application(QObject *parent = nullptr);
    // Uses the given device layer instead of the platform's own (empty: the platform's own).
    explicit Application(AudioPlatformFactory audioPlatformFactory, QObject *parent = nullptr);
    ~Application() override;

    bool initialize();
    void startListening();
    void stopListening();
    void setSilenceThreshold(int ms);
    void setInterviewDirection(const QString &direction);
    bool listening() const { return isListening; }
    // Asks what the interviewer said so far at once, as the next question.
    void answerNow();
    // Sends a question already asked once more; its answer starts again from nothing.
    void askAgain(int questionId);
    // What the last status means in detail (the window's tooltip); empty when plain.
    QString statusDetail() const { return statusDetail_; }
    // A buffer's RMS energy (percent of full scale) as the level meter's 0 to 100.
    static int levelPercent(double energy);

signals:
    void asrResult(const QString &text, bool isFinal);
    void llmResponse(int questionId, const QString &text, bool isDone);
    void newQuestionStarted(int questionId, const QString &question);
    void statusChanged(const QString &status);
    void triggerLLMRequest(const QString &question);
    // The question's answer failed or was cut off; what arrived before stays.
    void answerFailed(int questionId, const QString &reason);
    // When the question's last loud buffer ended and when the pause ended it (ms since the
    // epoch), for the figures under its answer.
    void questionTiming(int questionId, qint64 questionEndMs, qint64 triggeredMs);
    // The service reasons before answering the question (no answer text yet).
    void answerThinking(int questionId);
    // askAgain: the question's answer is being replaced.
    void answerRestarted(int questionId);
    // The capture thread's hand-overs to this object's thread (queued to itself).
    void speechResumed();
    void earlyQuestionReady(const QString &question);
    void captureEndedOnThread(int generation, int why, int code);
    // How loud the captured sound is, 0 to 100 (a level meter); 0 when listening stops.
    void inputLevel(int percent);
    // Listening started, or ended (asked for, or after a failure that retrying cannot mend).
    void listeningChanged(bool listening);

private:
    void initializeComponents();
    void askLLM(const QString &question);
    void sendQuestion(int questionId, const QString &question);
    QList<ChatMessage> chatMessages(const QString &question) const;
    int earlyBuffersFor(int thresholdBuffers) const;
    void measureFirstToken(qint64 sentAtMs);
    void sendEarly(const QString &question);
    void cancelEarly(const char *why);
    bool adoptEarly(int questionId, const QString &question);
    void onAudioData(const uint8_t *data, size_t size, int sampleRate, int channels);
    void onASRResult(const QString &text, bool isFinal);
    void reportLevel(double energy);
    void applySettings(const Settings &newSettings);
    AsrConfig recognitionConfig() const;
    LlmConfig chatConfig() const;

    void endListening();
    void failListening(const QString &status, const QString &detail);
    void setStatus(const QString &status, const QString &detail = QString());
    void publishStatus();
    AudioDataCallback audioHandler();
    std::unique_ptr<AudioCapture> makeCapture();
    void reopenCapture();
    void onCaptureEnded(int generation, CaptureEnd why, PlatformResult code);
    void onSessionReady();
    void onSessionEnded();
    void onConnectionFailed(int httpStatus, const QString &error);
    void onSessionRefused(int code, const QString &message);
    void onServiceError(quint32 code, const QString &message);
    void follow(ListeningSupervisor::Decision decision);
    void checkStall();

    std::unique_ptr<AudioCapture> audioCapture;
    std::unique_ptr<SpeechFrames> speechFrames;
    LoudnessGate loudnessGate; // capture thread only
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
    QMap<int, QString> questionTexts;
    QMap<int, QString> answers;              // as far as they arrived
    QMap<int, QList<ChatMessage>> askedWith; // what each question was first sent with
    std::vector<int16_t> pendingAudio;
    int pendingChunkCount = 0;

    Settings settings;
    QString openedDevice; // the audio/device setting the capture was made for
    AudioPlatformFactory audioPlatformFactory;
    // The capture thread's silence counting and the GUI thread's results meet in the detector.
    QuestionDetector detector;
    std::mutex detectorMutex;

    // Recovery while listening: what is wrong, and the timers that mend it.
    ListeningSupervisor supervisor;
    QTimer reconnectTimer;
    QTimer stallWatch;
    QElapsedTimer sinceLastFrame; // since the recognition session last sent anything
    std::atomic<bool> audioSentSinceFrame{false}; // set on the capture thread
    static constexpr qint64 stallTimeoutMs = 10000;
    QTimer captureRetryTimer;
    // From the early point until the recogniser's answer to the audio just sent can be here.
    QTimer earlyGrace;
    QElapsedTimer captureOpened; // since the last open, for the re-open rate
    bool captureFresh = false;   // opened at start-up and never started
    float levelPeak = 0.0f;      // capture thread: the loudest buffer since the last report
    int levelBuffers = 0;
    int captureGeneration = 0; // which AudioCapture an end report belongs to
    std::atomic<long> droppedBuffers{0};
    QString statusDetail_;

    // The request sent for a question before its pause was long enough to end it.
    EarlyRequestPlan earlyPlan;
    bool earlyRequests = true;
    int thresholdBuffers = 100;
    std::atomic<qint64> lastLoudAt{0};
    std::atomic<qint64> triggeredAt{0};
};

} // namespace Kelvane
