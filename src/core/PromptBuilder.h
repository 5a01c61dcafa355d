#pragma once

#include "LLMClient.h"

#include <QList>
#include <QString>

namespace Kelvane {

// The messages a question is asked with: the system prompt for the interview direction, the
// candidate's résumé and the job description when given, the last few questions with (the
// start of) their answers, and the question. Plain and synchronous. With no profile and no
// context it is exactly the system prompt with the no-question rule, and the question.
class PromptBuilder {
public:
    static constexpr int kMaxProfileChars = 6000;
    static constexpr int kMaxContextAnswerChars = 300;
    static constexpr int kMaxContextRounds = 5;

    static constexpr int kMaxRemarkChars = 200;

    struct Exchange {
        QString question;
        QString answer;
        QString remarks = {}; // what the interviewer said before it that asked nothing
    };

    QString direction;
    QString resume;
    QString jobDescription;
    int contextRounds = 0;

    // earlier: the questions answered before this one, oldest first; remarks: what the
    // interviewer said since the last of them that asked nothing (sent only with context).
    QList<ChatMessage> messages(const QString &question, const QList<Exchange> &earlier,
                                const QString &remarks = QString()) const;

    static QString systemPrompt(const QString &interviewDirection);
    // The rule after the system prompt's own: words that ask nothing get only the marker.
    static QString notAQuestionRule();
    static QString userPrompt(const QString &question, const QString &remarks = QString());
    // A profile text as it is sent: at most kMaxProfileChars.
    static QString bounded(const QString &text) { return text.trimmed().left(kMaxProfileChars); }
};

} // namespace Kelvane
