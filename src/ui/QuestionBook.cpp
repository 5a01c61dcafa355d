#include "QuestionBook.h"

#include "Log.h"

#include <QDateTime>

namespace Kelvane {

const QuestionEntry *QuestionBook::find(int questionId) const {
    const auto entry = questions.constFind(questionId);
    return entry == questions.constEnd() ? nullptr : &*entry;
}

void QuestionBook::addQuestion(int questionId, const QString &question) {
    QuestionEntry entry;
    entry.id = questionId;
    entry.question = question;
    questions.insert(questionId, entry);
    emit added(questionId);
}

void QuestionBook::setTiming(int questionId, qint64 questionEndMs, qint64 triggeredMs) {
    auto entry = questions.find(questionId);
    if (entry == questions.end() || questionEndMs <= 0)
        return;
    entry->endedAt = questionEndMs;
    entry->silenceMs = triggeredMs >= questionEndMs ? triggeredMs - questionEndMs : -1;
    emit changed(questionId, false);
}

void QuestionBook::startThinking(int questionId) {
    auto entry = questions.find(questionId);
    if (entry == questions.end() || entry->thinkingSince)
        return;
    entry->thinkingSince = QDateTime::currentMSecsSinceEpoch();
    emit changed(questionId, false);
}

void QuestionBook::addResponse(int questionId, const QString &text, bool isDone) {
    auto entry = questions.find(questionId);
    if (entry == questions.end())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (entry->endedAt && !isDone && !text.isEmpty() && entry->firstTextMs < 0)
        entry->firstTextMs = now - entry->endedAt;
    if (entry->endedAt && isDone && entry->completeMs < 0) {
        entry->completeMs = now - entry->endedAt;
        Log::out("[Timing] Q", questionId, ": silence ", entry->silenceMs, " ms, first text ",
                 entry->firstTextMs, " ms, complete ", entry->completeMs, " ms");
    }
    if (isDone)
        entry->done = true;
    else
        entry->answer.append(text);
    emit changed(questionId, false);
}

void QuestionBook::fail(int questionId, const QString &reason) {
    auto entry = questions.find(questionId);
    if (entry == questions.end())
        return;
    entry->failure = reason;
    emit failedChanged(questionId, true);
    emit changed(questionId, true); // the note is not a continuation
}

void QuestionBook::restart(int questionId) {
    auto entry = questions.find(questionId);
    if (entry == questions.end())
        return;
    QuestionEntry fresh;
    fresh.id = entry->id;
    fresh.question = entry->question;
    // The new answer's figures count from the click; no pause ended it.
    fresh.endedAt = QDateTime::currentMSecsSinceEpoch();
    *entry = fresh;
    emit failedChanged(questionId, false);
    emit changed(questionId, true);
}

} // namespace Kelvane
