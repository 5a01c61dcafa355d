#include "Listener.h"

#include "Log.h"

#include <QDateTime>

// The listener's half that deals with what was heard: the recogniser's results, the early
// point, 立即回答 and 跳过.
namespace Kelvane {

QuestionDetector::Ended Listener::askNow() {
    QuestionDetector::Ended heard;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        heard = detector.askNow();
    }
    if (!heard.isEmpty() && !heard.remark) {
        triggeredAt.store(QDateTime::currentMSecsSinceEpoch());
        speechEndedAt.store(lastLoudAt.load() - heard.tailMs);
    }
    return heard;
}

QString Listener::hearing() const {
    std::lock_guard<std::mutex> lock(detectorMutex);
    return detector.currentText();
}

QString Listener::dropHeard() {
    std::lock_guard<std::mutex> lock(detectorMutex);
    return detector.dropHeard();
}

// How long after the speech the early request leaves is what the answer's first text waits
// on: the log says it, for the figures.
void Listener::requestEarly(const QString &question, int asked, qint64 tailMs) {
    earlyGrace.stop();
    Log::out("[Application] Early point: ",
             QDateTime::currentMSecsSinceEpoch() - (lastLoudAt.load() - tailMs),
             " ms after the speech ended");
    emit earlyQuestion(question, asked);
}

void Listener::sendEarlyNow() {
    QString question;
    int asked = 0;
    qint64 tail = 0;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        question = detector.earlyQuestion(true);
        asked = detector.questionsAsked();
        tail = detector.silentMs() - detector.silentBuffers() * 10;
    }
    if (isListening && !question.isEmpty())
        requestEarly(question, asked, tail);
}

void Listener::onRecognised(const RecognitionResult &result) {
    std::vector<QuestionSpans::Correction> corrections;
    QString current;
    QString early;
    int asked = 0;
    bool earlyDue = false;
    qint64 tail = 0;
    {
        std::lock_guard<std::mutex> lock(detectorMutex);
        corrections = detector.onResult(result);
        current = detector.currentText();
        early = detector.earlyQuestion(true);
        asked = detector.questionsAsked();
        earlyDue = detector.takeEarlyDue();
        tail = detector.silentMs() - detector.silentBuffers() * 10;
    }
    if (!result.text.isEmpty())
        supervisor.textArrived();
    for (const QuestionSpans::Correction &correction : corrections)
        emit questionCorrected(correction.span, correction.text);
    // The recogniser answered the pause's audio while the early request waited for it, or
    // placed the end of the words early enough that the point has passed.
    if ((earlyGrace.isActive() || earlyDue) && !early.isEmpty() && isListening)
        requestEarly(early, asked, tail);
    // The recogniser caught up during the pause: request what it says now.
    emit textChanged(asked, current, early);
    emit asrResult(current, false);
}

} // namespace Kelvane
