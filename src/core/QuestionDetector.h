#pragma once

#include "QuestionSpans.h"

#include <QString>

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
    int earlyPoint() const { return earlyBuffers; }
    // Buffers in one packet of audio to the recogniser: the early point is checked as each
    // packet leaves, so that the recogniser has heard the pause up to it.
    static constexpr int kPacketBuffers = 10;
    // How many questions were asked so far.
    int questionsAsked() const { return asked; }
    const QString &currentText() const { return spans.openText(); }

private:
    Ended checkSilenceTrigger();
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
};

} // namespace Kelvane
