#pragma once

#include "QuestionSpans.h"

#include <QString>

#include <utility>
#include <vector>

namespace Kelvane {

// Decides from recognition results and per-buffer loudness when the interviewer finished a
// question and what its text is. Plain and synchronous: the caller serialises its calls.
class QuestionDetector {
public:
    // What a trigger (or 立即回答) ends: a question to ask, or a remark that is not one; span
    // names it for the recogniser's corrections.
    struct Ended {
        QString text;
        int span = 0;
        bool remark = false;
        qint64 tailMs = 0; // how long before the level gate's pause the words ended
        bool isEmpty() const { return text.isEmpty(); }
    };

    // Silent buffers (10 ms each) that end a question.
    void setThresholdBuffers(int buffers) { thresholdBuffers = buffers; }
    // Silent buffers after which the question may be requested early (0: never).
    void setEarlyBuffers(int buffers) { earlyBuffers = buffers; }

    // As a packet of audio leaves: the text to request early, when this is the first packet
    // at or after the early point and the text would be asked if the pause lasted. Changes nothing
    // of the detector's state. pastPoint: anywhere past that point in the pause (the text changed
    // meanwhile).
    QString earlyQuestion(bool pastPoint = false) const;

    // One capture buffer's verdict, the buffer starting at audioMs of recognition session
    // `session` (0 while none streams). Returns what this buffer ends when it completes the
    // silence and the text passes the checks; otherwise nothing.
    Ended onBuffer(bool loud, int session = 0, qint64 audioMs = 0);

    // The user asks now: the current text becomes the question as if the pause had ended it
    // (the same checks; the silence starts counting afresh). Empty when there is none to ask.
    Ended askNow() { return checkSilenceTrigger(); }

    // One recognition result: the questions (and remarks) already ended whose words it changed.
    std::vector<QuestionSpans::Correction> onResult(const RecognitionResult &result);

    // What was heard of the question in progress is dropped, never to be asked (returned).
    QString dropHeard();

    // Listening stopped: the question in progress ends unasked (returned, for the log) and the
    // next start begins from nothing.
    QString endQuestion();

    int silentBuffers() const { return silentBufferCount; }
    // The pause so far. A quiet tail the level gate still counts as sound, but after the
    // recogniser's last word, counts too, up to kMaxTailMs: the pause is where the words end.
    qint64 silentMs() const { return qint64(silentBufferCount) * 10 + tailMs(); }
    static constexpr qint64 kMaxTailMs = 150;
    // A result moved the pause past the early point: the early request is due now.
    bool takeEarlyDue() { return std::exchange(earlyDue, false); }
    // True once a pause, at the buffer that reaches the early point with a question to ask.
    bool earlyPointReached();
    // A pause past its end with nothing to ask: nothing needs close listening until sound or
    // text comes.
    bool resting() const { return silentBufferCount > 0 && nothingHeardNoted; }
    int earlyPoint() const { return earlyBuffers; }
    // Buffers in one packet of audio to the recogniser: the early point is checked as each
    // packet leaves, so that the recogniser has heard the pause up to it.
    static constexpr int kPacketBuffers = 10;
    // How many questions were asked so far.
    int questionsAsked() const { return asked; }
    const QString &currentText() const { return spans.openText(); }

private:
    Ended checkSilenceTrigger();
    qint64 tailMs() const;
    bool wouldAsk(const QString &text) const;
    void restartSilence();

    int thresholdBuffers = 100;
    int earlyBuffers = 0;
    int silentBufferCount = 0;
    int asked = 0;
    bool hasSpeech = false;
    QString lastTriggeredText;
    QuestionSpans spans;
    int session = 0;       // the recognition session whose timeline the spans are on
    qint64 audioNowMs = 0; // where the last buffer began on it
    bool streamingNow = false;
    bool earlyDue = false;
    bool earlyNoted = false;        // this pause's early point was reported
    bool nothingHeardNoted = false; // this pause was found to hold nothing to ask
};

} // namespace Kelvane
