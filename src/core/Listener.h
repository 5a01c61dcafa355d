#pragma once

#include "ASRClient.h"
#include "AudioCapture.h"
#include "AudioPackets.h"
#include "ListeningSupervisor.h"
#include "LoudnessGate.h"
#include "PlayingHint.h"
#include "QuestionDetector.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace Kelvane {

class SpeechFrames;
class VAD;

// Makes the device layer for each AudioCapture the listener creates.
using AudioPlatformFactory = std::function<std::unique_ptr<AudioPlatform>()>;

// Listening: the capture, the recognition session, their supervision and recovery, the level,
// and the question detector they feed. The capture thread's audio handler runs here; what it
// decides reaches this object's thread through queued signals.
class Listener : public QObject {
    Q_OBJECT

public:
    explicit Listener(AudioPlatformFactory audioPlatformFactory, QObject *parent = nullptr);
    ~Listener() override;

    // Opens the capture (false when no device) and makes the recognition client.
    bool initialize();
    void setRecognitionConfig(const AsrConfig &config);
    // The audio/device setting the next capture is made for.
    void setDevice(const QString &device) { deviceSetting = device; }
    QString device() const { return deviceSetting; }
    // audio/followPlaying: record, without asking, the device the meeting plays on.
    void setFollowPlaying(bool on) { followPlaying = on; }
    // Records this playback device from now on (改听此设备, or followed by itself).
    void followDevice(const QString &deviceId);
    void start();
    void stop();
    bool listening() const { return isListening; }

    void setThresholdBuffers(int buffers);
    void setEarlyBuffers(int buffers);
    int thresholdBuffers() const { return threshold; }
    // What the interviewer said so far, taken as a question now (empty: nothing to ask).
    QuestionDetector::Ended askNow();
    // What is being heard of a question the pause has not ended yet.
    QString hearing() const;
    // ... dropped, never to be asked (returned).
    QString dropHeard();
    qint64 lastLoudAtMs() const { return lastLoudAt.load(); }
    // Where the last question's speech ended (ms since the epoch): its last loud buffer, or the
    // recogniser's end of its words where a quiet tail followed them.
    qint64 speechEndedAtMs() const { return speechEndedAt.load(); }
    qint64 triggeredAtMs() const { return triggeredAt.load(); }

    QString statusDetail() const { return statusDetail_; }
    void setStatus(const QString &status, const QString &detail = QString());
    // A buffer's RMS energy (percent of full scale) as the level meter's 0 to 100.
    static int levelPercent(double energy);

signals:
    // The pause ended a question (queued from the capture thread); span names its words.
    void triggerLLMRequest(const QString &question, int span);
    // The pause ended words that ask nothing (queued from the capture thread).
    void remarkHeard(const QString &text, int span);
    // The recogniser changed the words of a question (or remark) already ended.
    void questionCorrected(int span, const QString &text);
    // The question the pause would ask, to request early; askedBefore: the pause it belongs to.
    void earlyQuestion(const QString &question, int askedBefore);
    // The recogniser's text after a result, for an early request that may be outdated.
    void textChanged(int questionsAsked, const QString &currentText, const QString &early);
    void speechResumed();
    void asrResult(const QString &text, bool isFinal);
    void statusChanged(const QString &status);
    void inputLevel(int percent);
    void listeningChanged(bool listening);
    // Sound plays on another device while the recorded one is silent: its id and a sentence
    // that names it; both empty when there is nothing to say.
    void playingElsewhere(const QString &deviceId, const QString &text);
    // The capture thread's hand-overs to this object's thread (queued to itself).
    void earlyPointReached();
    void captureEndedOnThread(int generation, int why, int code);

private:
    void endListening();
    void failListening(const QString &status, const QString &detail);
    void publishStatus();
    AudioDataCallback audioHandler(AudioCapture *capture);
    std::unique_ptr<AudioCapture> makeCapture();
    void reopenCapture();
    void onAudioData(const uint8_t *data, size_t size, int sampleRate, int channels);
    bool sendAudio(const std::vector<int16_t> &mono);
    void onRecognised(const RecognitionResult &result);
    void handOver(const QuestionDetector::Ended &ended);
    void requestEarly(const QString &question, int asked, qint64 tailMs);
    void reportLevel(double energy);
    void onCaptureEnded(int generation, CaptureEnd why, PlatformResult code);
    void onSessionReady();
    void follow(ListeningSupervisor::Decision decision);
    void checkStall();
    void sendEarlyNow();
    void checkPlaying();
    void showPlayingHint(const QString &deviceId, const QString &text);

    AudioPlatformFactory audioPlatformFactory;
    AsrConfig recognitionConfig;
    QString deviceSetting;
    QString openedDevice; // the audio/device setting the capture was made for
    std::unique_ptr<AudioCapture> audioCapture;
    std::unique_ptr<SpeechFrames> speechFrames;
    LoudnessGate loudnessGate; // capture thread only
    std::unique_ptr<VAD> vad;
    std::unique_ptr<ASRClient> asrClient;
    bool isListening = false;
    int threshold = 100;

    // The capture thread's silence counting and the GUI thread's results meet in the detector.
    QuestionDetector detector;
    mutable std::mutex detectorMutex;
    AudioPackets packets; // capture thread, or this one once capture stopped
    // The capture thread's place on the recognition session's timeline.
    int audioSession = 0;
    qint64 sessionSamples = 0;

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
    int levelShown = -1;       // capture thread: the level last reported
    bool resting = false;      // capture thread: a long silence with nothing to ask
    int captureGeneration = 0; // which AudioCapture an end report belongs to
    std::atomic<long> droppedBuffers{0};
    QString statusDetail_;
    QString playingNote; // said in the status detail: where the meeting plays, or was followed
    std::atomic<qint64> lastLoudAt{0};
    // Which devices play: written on the capture thread, read by the check once a second.
    std::mutex playingMutex;
    std::vector<PlayingDevice> playing;
    QTimer playingCheck;
    PlayingHint playingHint;
    qint64 quietSince = 0; // since capture was opened, for a device never heard
    QString hintedDevice;
    bool followPlaying = false;
    std::atomic<qint64> triggeredAt{0};
    std::atomic<qint64> speechEndedAt{0};
};

} // namespace Kelvane
