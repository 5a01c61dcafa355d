#pragma once

#include <QString>

namespace Kelvane {

// Decides from recognition results and per-buffer loudness when the interviewer finished a
// question and what its text is. Plain and synchronous: the caller serialises its calls.
class QuestionDetector {
public:
    // Silent buffers (10 ms each) that end a question.
    void setThresholdBuffers(int buffers) { thresholdBuffers = buffers; }
    // Silent buffers after which the question may be requested early (0: never).
    void setEarlyBuffers(int buffers) { earlyBuffers = buffers; }

    // As a packet of audio leaves: the text to request early, when this is the first packet
    // at or after the early point and the text would be asked if the pause lasted. Changes nothing
    // of the detector's state. pastPoint: anywhere past that point in the pause (the text changed
    // meanwhile).
    QString earlyQuestion(bool pastPoint = false) const;

    // One capture buffer's verdict. Returns the question to ask when this buffer completes the
    // silence and the text passes the checks; otherwise an empty string.
    QString onBuffer(bool loud);

    // The user asks now: the current text becomes the question as if the pause had ended it
    // (the same checks; the silence starts counting afresh). Empty when there is none to ask.
    QString askNow() { return checkSilenceTrigger(); }

    // One recognition result. Returns the text new since the last question (what the
    // recogniser reported minus the prefix already asked).
    QString onResult(const QString &text, bool isFinal);

    // A new recognition session starts its transcript from nothing: what the old one said is
    // no prefix of what the new one will say.
    void startNewTranscript() {
        processedText.clear();
        latestASRText.clear();
    }

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
    const QString &currentText() const { return currentASRText; }

private:
    QString checkSilenceTrigger();

    bool wouldAsk(const QString &text) const;
    // After a question was asked: the text of `text` that is new speech, not the asked
    // question again (repeated, re-punctuated, corrected, or marked final now).
    QString speechAfterAsked(const QString &text, bool isFinal);

    int thresholdBuffers = 100;
    int earlyBuffers = 0;
    int silentBufferCount = 0;
    int asked = 0;
    bool hasSpeech = false;
    QString currentASRText;
    QString lastTriggeredText;
    QString processedText;
    QString latestASRText;
};

} // namespace Kelvane
