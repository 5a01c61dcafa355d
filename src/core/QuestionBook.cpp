#include "QuestionBook.h"

#include "Log.h"

#include <QDateTime>

#include <algorithm>

namespace Kelvane {

QuestionEntry *QuestionBook::entry(int id) {
    const auto it = std::lower_bound(all.begin(), all.end(), id,
                                     [](const QuestionEntry &e, int key) { return e.id < key; });
    return it != all.end() && it->id == id ? &*it : nullptr;
}

const QuestionEntry *QuestionBook::find(int id) const {
    return const_cast<QuestionBook *>(this)->entry(id);
}

int QuestionBook::number(int id) const {
    int listed = 0;
    for (const QuestionEntry &e : all) {
        listed += e.remark ? 0 : 1;
        if (e.id == id)
            return e.remark ? 0 : listed;
    }
    return 0;
}

int QuestionBook::newestQuestion() const {
    for (auto it = all.crbegin(); it != all.crend(); ++it)
        if (!it->remark)
            return it->id;
    return 0;
}

int QuestionBook::questionBefore(int id) const {
    int before = 0;
    for (const QuestionEntry &e : all) {
        if (e.id >= id)
            break;
        before = e.remark ? before : e.id;
    }
    return before;
}

void QuestionBook::addQuestion(int id, const QString &question) {
    QuestionEntry added_;
    added_.id = id;
    added_.question = question;
    const auto at = std::lower_bound(all.begin(), all.end(), id,
                                     [](const QuestionEntry &e, int key) { return e.id < key; });
    all.insert(at, added_);
    emit added(id);
    emit listChanged();
}

void QuestionBook::addRemark(int id, const QString &text) {
    addQuestion(id, text);
    makeRemark(id);
}

void QuestionBook::setText(int id, const QString &text) {
    QuestionEntry *e = entry(id);
    if (!e || e->question == text)
        return;
    e->question = text;
    emit changed(id, false);
    emit listChanged();
}

void QuestionBook::makeRemark(int id) {
    QuestionEntry *e = entry(id);
    if (!e || e->remark)
        return;
    e->remark = true;
    emit changed(id, true);
    emit listChanged();
}

void QuestionBook::remove(int id) {
    QuestionEntry *e = entry(id);
    if (!e)
        return;
    all.erase(all.begin() + (e - all.data()));
    emit changed(id, true);
    emit listChanged();
}

void QuestionBook::setTiming(int id, qint64 questionEndMs, qint64 triggeredMs) {
    QuestionEntry *e = entry(id);
    if (!e || questionEndMs <= 0)
        return;
    e->endedAt = questionEndMs;
    e->silenceMs = triggeredMs >= questionEndMs ? triggeredMs - questionEndMs : -1;
    emit changed(id, false);
}

void QuestionBook::startThinking(int id) {
    QuestionEntry *e = entry(id);
    if (!e || e->thinkingSince)
        return;
    e->thinkingSince = QDateTime::currentMSecsSinceEpoch();
    emit changed(id, false);
}

void QuestionBook::addResponse(int id, const QString &text, bool isDone) {
    QuestionEntry *e = entry(id);
    if (!e)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (e->endedAt && !isDone && !text.isEmpty() && e->firstTextMs < 0)
        e->firstTextMs = now - e->endedAt;
    if (e->endedAt && isDone && e->completeMs < 0) {
        e->completeMs = now - e->endedAt;
        Log::out("[Timing] Q", id, ": silence ", e->silenceMs, " ms, first text ", e->firstTextMs,
                 " ms, complete ", e->completeMs, " ms (speech ended at ", e->endedAt, ")");
    }
    if (isDone)
        e->done = true;
    else
        e->answer.append(text);
    emit changed(id, false);
}

void QuestionBook::fail(int id, const QString &reason) {
    QuestionEntry *e = entry(id);
    if (!e)
        return;
    e->failure = reason;
    emit failedChanged(id, true);
    emit changed(id, true); // the note is not a continuation
}

void QuestionBook::restart(int id) {
    QuestionEntry *e = entry(id);
    if (!e)
        return;
    QuestionEntry fresh;
    fresh.id = e->id;
    fresh.remark = e->remark;
    fresh.question = e->question;
    // The new answer's figures count from the click; no pause ended it.
    fresh.endedAt = QDateTime::currentMSecsSinceEpoch();
    *e = fresh;
    emit failedChanged(id, false);
    emit changed(id, true);
}

} // namespace Kelvane
