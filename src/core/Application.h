#pragma once

#include "Listener.h"
#include "Settings.h"

#include <QObject>
#include <QString>

#include <memory>

namespace Kelvane {

class Asker;
class QuestionBook;

// The controller: owns listening (capture and recognition) and asking (questions and their
// answers), wires the one to the other and to the window, and applies the settings.
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
    bool listening() const;
    // Asks what the interviewer said so far at once, as the next question.
    void answerNow();
    // Sends a question already asked once more; its answer starts again from nothing.
    void askAgain(int questionId);
    // 跳过: what is being heard is dropped; with nothing heard, the newest question is withdrawn.
    void skip();
    // 合并: the newest question joins the one before it and the two are asked as one.
    void merge();
    bool canSkip() const;
    bool canMerge() const;
    // Records this playback device from now on, and keeps it as the chosen one (改听此设备).
    void followPlaying(const QString &deviceId);
    // What the last status means in detail (the window's tooltip); empty when plain.
    QString statusDetail() const;
    // Every question, remark and answer of the session.
    QuestionBook *book() const { return questionBook; }
    // A buffer's RMS energy (percent of full scale) as the level meter's 0 to 100.
    static int levelPercent(double energy) { return Listener::levelPercent(energy); }

signals:
    void asrResult(const QString &text, bool isFinal);
    void llmResponse(int questionId, const QString &text, bool isDone);
    void newQuestionStarted(int questionId, const QString &question);
    void statusChanged(const QString &status);
    // The question's answer failed or was cut off; what arrived before stays.
    void answerFailed(int questionId, const QString &reason);
    // When the question's last loud buffer ended and when the pause ended it (ms since the
    // epoch), for the figures under its answer.
    void questionTiming(int questionId, qint64 questionEndMs, qint64 triggeredMs);
    // The service reasons before answering the question (no answer text yet).
    void answerThinking(int questionId);
    // askAgain: the question's answer is being replaced.
    void answerRestarted(int questionId);
    // How loud the captured sound is, 0 to 100 (a level meter); 0 when listening stops.
    void inputLevel(int percent);
    // Listening started, or ended (asked for, or after a failure that retrying cannot mend).
    void listeningChanged(bool listening);
    // Sound plays on another device while the recorded one is silent (both empty: no more).
    void playingElsewhere(const QString &deviceId, const QString &text);

private:
    void wire();
    void applySettings(const Settings &newSettings);
    void placeEarlyPoint();

    Settings settings;
    QString interviewDirection;
    QuestionBook *questionBook; // (a child: it outlives the asker that writes it)
    std::unique_ptr<Listener> listener;
    std::unique_ptr<Asker> asker;
};

} // namespace Kelvane
