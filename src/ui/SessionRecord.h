#pragma once

#include "QuestionBook.h"

#include <QList>
#include <QString>

namespace Kelvane {

// "Q1: 什么是多态"
QString questionLabel(int number, const QString &question);
// "静音 1.0 s · 首字 0.4 s · 完成 3.4 s", with what is known.
QString timingLine(const QuestionEntry &entry);
// The answer as Markdown, with the note of a failure or a cut-off answer.
QString answerMarkdown(const QuestionEntry &entry);
// The whole session as one Markdown document: the direction, then in order every question with
// its number, its answer (notes included) and its timing line, and what the interviewer said
// that was no question.
QString sessionMarkdown(const QString &direction, const QList<QuestionEntry> &questions);

} // namespace Kelvane
