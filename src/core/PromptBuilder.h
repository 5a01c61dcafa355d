#pragma once

#include "LLMClient.h"

#include <QList>
#include <QString>

namespace Kelvane {

// The messages a question is asked with: the system prompt for the interview direction, the
// candidate's résumé and the job description when given, the last few questions with (the
// start of) their answers, and the question. Plain and synchronous. With no profile and no
// context it is exactly the system prompt and the question.
class PromptBuilder {
public:
    static constexpr int kMaxProfileChars = 6000;
    static constexpr int kMaxContextAnswerChars = 300;
    static constexpr int kMaxContextRounds = 5;

    struct Exchange {
        QString question;
        QString answer;
    };

    QString direction;
    QString resume;
    QString jobDescription;
    int contextRounds = 0;

    // earlier: every question asked before this one, oldest first.
    QList<ChatMessage> messages(const QString &question, const QList<Exchange> &earlier) const;

    static QString systemPrompt(const QString &direction);
    static QString userPrompt(const QString &question);
    // A profile text as it is sent: at most kMaxProfileChars.
    static QString bounded(const QString &text) { return text.trimmed().left(kMaxProfileChars); }
};

} // namespace Kelvane
