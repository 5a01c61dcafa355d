#pragma once

#include <QList>
#include <QString>

namespace Kelvane {

// One question as the window keeps it.
struct QuestionEntry {
    int id = 0;
    QString question;
    QString answer;
    bool done = false;
    QString failure;          // why the answer failed or stopped short; empty when it did not
    qint64 thinkingSince = 0; // ms since the epoch when the service began reasoning, or 0
    // Where the time went, in ms from the end of the question's last loud buffer (-1: unknown).
    qint64 endedAt = 0;
    qint64 silenceMs = -1;
    qint64 firstTextMs = -1;
    qint64 completeMs = -1;
};

// "Q1: 什么是多态"
QString questionLabel(int id, const QString &question);
// "静音 1.0 s · 首字 0.4 s · 完成 3.4 s", with what is known.
QString timingLine(const QuestionEntry &entry);
// The answer as Markdown, with the note of a failure or a cut-off answer.
QString answerMarkdown(const QuestionEntry &entry);
// The whole session as one Markdown document: the direction, then every question with its
// number, its answer (notes included) and its timing line.
QString sessionMarkdown(const QString &direction, const QList<QuestionEntry> &questions);

} // namespace Kelvane
