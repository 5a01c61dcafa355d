#include "Asker.h"

#include "Log.h"
#include "Remarks.h"
#include "SpeechText.h"

#include <QDateTime>

#include <memory>
#include <utility>

namespace Kelvane {

Asker::Asker(QuestionBook *questionBook, QObject *parent)
    : QObject(parent)
    , book(questionBook)
    , client(std::make_unique<LLMClient>(this)) {}

Asker::~Asker() = default;

void Asker::setConfig(const LlmConfig &config) {
    client->setConfig(config);
}

int Asker::ask(const QString &heard, int span, qint64 questionEndMs, qint64 triggeredMs) {
    const QString question = latestWords(heard, span);
    const QString timestamp =
        QDateTime::currentDateTime().toString(QStringLiteral("[HH:mm:ss.zzz]"));
    Log::out(timestamp, " [Application] ⏰ 新问题触发: ", question);
    const int questionId = ++questionCounter;
    keepSpan(questionId, span, question);
    book->addQuestion(questionId, question);
    book->setTiming(questionId, questionEndMs, triggeredMs);
    emit newQuestionStarted(questionId, question);
    emit questionTiming(questionId, questionEndMs, triggeredMs);
    if (!adoptEarly(questionId, question))
        send(questionId, messagesFor(questionId, question));
    return questionId;
}

// The recogniser may correct the words before the trigger's hand-over arrives; spans before
// this one will never be asked.
QString Asker::latestWords(const QString &heard, int span) {
    const QString corrected = correctedEarly.value(span);
    while (!correctedEarly.isEmpty() && correctedEarly.firstKey() <= span)
        correctedEarly.erase(correctedEarly.begin());
    return corrected.isEmpty() ? heard : corrected;
}

int Asker::noteRemark(const QString &heard, int span) {
    const QString text = latestWords(heard, span);
    const int id = ++questionCounter;
    Log::out("[Application] Remark kept, not asked: ", text);
    keepSpan(id, span, text);
    book->addRemark(id, text);
    return id;
}

void Asker::keepSpan(int entryId, int span, const QString &words) {
    if (!span)
        return;
    entryOfSpan.insert(span, entryId);
    spansOf[entryId].append(span);
    wordsOf.insert(span, words);
}

void Asker::correct(int span, const QString &text) {
    const int id = entryOfSpan.value(span);
    if (!id) {
        correctedEarly.insert(span, text);
        return;
    }
    if (!book->find(id))
        return;
    wordsOf.insert(span, text);
    QString joined; // (a merged question is the words of all its spans)
    for (const int part : spansOf.value(id))
        joined = SpeechText::join(joined, wordsOf.value(part));
    Log::out("[Application] The recogniser corrected question ", id, ": ", joined);
    book->setText(id, joined);
}

void Asker::cancelAnswer(int questionId) {
    if (const int requestId = requestOf.take(questionId))
        client->cancelRequest(requestId);
}

void Asker::withdraw(int questionId) {
    const QuestionEntry *entry = book->find(questionId);
    if (!entry || entry->remark)
        return;
    Log::out("[Application] 跳过: question ", questionId, " withdrawn: ", entry->question);
    cancelAnswer(questionId);
    book->makeRemark(questionId);
}

void Asker::merge(int earlierId, int laterId) {
    const QuestionEntry *earlier = book->find(earlierId);
    const QuestionEntry *later = book->find(laterId);
    if (!earlier || !later || earlier->remark || later->remark || earlierId >= laterId)
        return;
    const QString joined = SpeechText::join(earlier->question, later->question);
    Log::out("[Application] 合并: questions ", earlierId, " and ", laterId, " as one: ", joined);
    cancelAnswer(earlierId);
    cancelAnswer(laterId);
    for (const int span : spansOf.take(laterId)) {
        entryOfSpan.insert(span, earlierId);
        spansOf[earlierId].append(span);
    }
    book->remove(laterId);
    book->setText(earlierId, joined);
    askAgain(earlierId);
}

void Asker::askAgain(int questionId) {
    const QuestionEntry *entry = book->find(questionId);
    if (!entry || entry->remark)
        return;
    Log::out("[Application] Asking question ", questionId, " again");
    cancelAnswer(questionId); // (one answer at a time under a question)
    book->restart(questionId);
    emit answerRestarted(questionId);
    send(questionId, messagesFor(questionId, entry->question));
}

QList<ChatMessage> Asker::messagesFor(int questionId, const QString &question) const {
    QList<PromptBuilder::Exchange> earlier;
    QStringList remarks; // said since the last question answered
    for (const QuestionEntry &entry : book->entries()) {
        if (entry.id >= questionId)
            break;
        if (entry.remark) {
            remarks.append(entry.question);
        } else if (Remarks::verdict(entry.answer, entry.done) == Remarks::Verdict::Answer) {
            earlier.append({entry.question, entry.answer, remarks.join(QLatin1Char(' '))});
            remarks.clear();
        }
    }
    return prompt.messages(question, earlier, remarks.join(QLatin1Char(' ')));
}

// Every reply reaches the book first: the window, the export and the next question's context
// read it there.
void Asker::respond(int questionId, const QString &text, bool isDone) {
    book->addResponse(questionId, text, isDone);
    emit llmResponse(questionId, text, isDone);
    const QuestionEntry *entry = book->find(questionId);
    if (isDone && entry && !entry->remark &&
        Remarks::verdict(entry->answer, true) == Remarks::Verdict::Remark) {
        Log::out("[Application] Question ", questionId, " asks nothing: kept as a remark");
        book->makeRemark(questionId);
    }
}

int Asker::earlyBuffers(int thresholdBuffers) const {
    return earlyRequests ? earlyPlan.earlyBuffers(thresholdBuffers) : 0;
}

// Request to first delta: the service's speed, which places the early point.
void Asker::measureFirstToken(qint64 sentAtMs) {
    earlyPlan.recordFirstToken(QDateTime::currentMSecsSinceEpoch() - sentAtMs);
    emit earlyPointMoved();
}

void Asker::fail(int questionId, const QString &error) {
    Log::err("[Application] LLM error (question ", questionId, "): ", error);
    book->fail(questionId, error);
    emit answerFailed(questionId, error);
}

// The question as it stands, asked as the next number before the pause is long enough to end
// it; nothing of it reaches the window unless ask() adopts it.
void Asker::sendEarly(const QString &question, int askedBefore) {
    // (the point may move while a pause goes on: the same question is not asked twice)
    if (!earlyRequests || !earlyPlan.wantsToSend(question))
        return;
    cancelEarly("superseded");
    const int questionId = questionCounter + 1;
    const int serial =
        earlyPlan.begin(question, messagesFor(questionId, question), askedBefore, questionId);
    const qint64 sentAt = QDateTime::currentMSecsSinceEpoch();
    auto firstDelta = std::make_shared<bool>(true);
    Log::out("[Application] Early request sent: ", question);
    // Before adoption the reply is kept in the plan; after it, it goes to its question.
    const int requestId = client->sendChatRequest(
        earlyPlan.inFlight()->messages,
        [this, serial, sentAt, firstDelta](const QString &text, bool isDone) {
            // (the role delta comes with the headers: only text tells the service's speed)
            if (!text.isEmpty() && std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            if (const int id = earlyPlan.replyArrived(serial, text, isDone))
                respond(id, text, isDone);
        },
        [this, serial](const QString &error) {
            if (const int id = earlyPlan.failureArrived(serial, error))
                fail(id, error);
        },
        [this, serial, sentAt, firstDelta]() {
            if (std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            if (const int id = earlyPlan.reasoningArrived(serial)) {
                book->startThinking(id);
                emit answerThinking(id);
            }
        });
    earlyPlan.sent(serial, requestId);
}

void Asker::cancelEarly(const char *why) {
    const auto &early = earlyPlan.inFlight();
    if (!early)
        return;
    Log::out("[Application] Early request cancelled (", why, "): ", early->text);
    if (const int requestId = earlyPlan.withdraw())
        client->cancelRequest(requestId);
}

void Asker::onTextChanged(int questionsAsked, const QString &currentText, const QString &early) {
    if (!earlyPlan.outdatedBy(questionsAsked, currentText))
        return;
    cancelEarly("text changed");
    if (!early.isEmpty())
        sendEarly(early, questionsAsked);
}

// The question ended as it was requested early: its answer is already on its way.
bool Asker::adoptEarly(int questionId, const QString &question) {
    if (!earlyPlan.inFlight())
        return false;
    const QString earlyText = earlyPlan.inFlight()->text;
    const bool failedBefore = earlyPlan.inFlight()->failed;
    const auto outcome = earlyPlan.adopt(questionId, question);
    if (!outcome.request) {
        Log::out("[Application] Early request cancelled (",
                 failedBefore ? "failed before the question ended" : "another question",
                 "): ", earlyText);
        if (outcome.cancelId)
            client->cancelRequest(outcome.cancelId);
        return false;
    }
    const EarlyRequestPlan::Request &early = *outcome.request;
    if (outcome.decision == EarlyRequestPlan::Adoption::ShowFailure) {
        // The same request would be refused again: say so now, not a request later.
        fail(questionId, early.error);
        return true;
    }
    Log::out("[Application] Early request adopted for question ", questionId);
    requestOf.insert(questionId, early.requestId);
    if (outcome.showThinking) {
        book->startThinking(questionId);
        emit answerThinking(questionId);
    }
    if (!early.answer.isEmpty())
        respond(questionId, early.answer, false);
    if (early.done)
        respond(questionId, QString(), true);
    return true;
}

void Asker::send(int questionId, const QList<ChatMessage> &messages) {
    Log::out("[Application] 📤 问题ID=", questionId, " 发送消息数量=", messages.size(),
             " 简历字数=", PromptBuilder::bounded(prompt.resume).size(),
             " 职位描述字数=", PromptBuilder::bounded(prompt.jobDescription).size());
    for (int i = 0; i < messages.size(); ++i)
        Log::out("[Application] 消息", i, " role=", messages[i].role,
                 " content前50字=", messages[i].content.left(50), "...");
    // (the profile stands at the end of the system prompt: never in these lines)
    const qint64 sentAt = QDateTime::currentMSecsSinceEpoch();
    auto firstDelta = std::make_shared<bool>(true);
    requestOf[questionId] = client->sendChatRequest(
        messages,
        [this, questionId, sentAt, firstDelta](const QString &text, bool isDone) {
            if (!text.isEmpty() && std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            respond(questionId, text, isDone);
        },
        [this, questionId](const QString &error) { fail(questionId, error); },
        [this, questionId, sentAt, firstDelta]() {
            if (std::exchange(*firstDelta, false))
                measureFirstToken(sentAt);
            book->startThinking(questionId);
            emit answerThinking(questionId);
        });
}

} // namespace Kelvane
