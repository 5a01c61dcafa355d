#pragma once

#include "EarlyRequestPlan.h"
#include "LLMClient.h"
#include "PromptBuilder.h"
#include "QuestionBook.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <memory>

namespace Kelvane {

// Asking: numbers each question, builds the messages it goes with from the questions asked
// before it, sends it (or adopts the request sent early for it) and routes every reply to its
// question in the book. Every way a question is asked goes through ask(); 重新回答 through
// askAgain(). A question the model answers with the no-question marker becomes a remark.
class Asker : public QObject {
    Q_OBJECT

public:
    // Keeps every question, remark and answer in `book`.
    explicit Asker(QuestionBook *book, QObject *parent = nullptr);
    ~Asker() override;

    void setConfig(const LlmConfig &config);
    // The direction, profile and context rounds the next request is built with.
    void setPrompt(const PromptBuilder &builder) { prompt = builder; }
    void setDirection(const QString &direction) { prompt.direction = direction; }
    void setEarlyRequests(bool on) { earlyRequests = on; }

    // The next question: numbered, shown, and answered. span: the listener's name of its words,
    // by which the recogniser's corrections find it. Returns its id.
    int ask(const QString &heard, int span, qint64 questionEndMs, qint64 triggeredMs);
    // What the interviewer said that is no question: kept, never asked.
    int noteRemark(const QString &heard, int span);
    // The recogniser changed the words of an earlier question or remark.
    void correct(int span, const QString &text);
    // 跳过: the question's request is closed and it stays in the record as a remark.
    void withdraw(int questionId);
    // 合并: the later question joins the earlier one, as spoken, and the two are asked as one.
    void merge(int earlierId, int laterId);
    // Sends a question already asked once more; its answer starts again from nothing.
    void askAgain(int questionId);
    // The messages question `questionId` is sent with: every question numbered before it (with
    // its answer as far as it arrived), then the question itself once.
    QList<ChatMessage> messagesFor(int questionId, const QString &question) const;

    // Early requests: the question the pause would ask, sent before the pause ends it.
    void sendEarly(const QString &question, int askedBefore);
    void cancelEarly(const char *why);
    // The recogniser's text moved during the pause: a request for the old text is withdrawn
    // and the new one (if any) sent.
    void onTextChanged(int questionsAsked, const QString &currentText, const QString &early);
    // The silent buffers after which to request early (0: never), for this threshold.
    int earlyBuffers(int thresholdBuffers) const;

signals:
    void newQuestionStarted(int questionId, const QString &question);
    void questionTiming(int questionId, qint64 questionEndMs, qint64 triggeredMs);
    void llmResponse(int questionId, const QString &text, bool isDone);
    void answerFailed(int questionId, const QString &reason);
    void answerThinking(int questionId);
    void answerRestarted(int questionId);
    // The service's measured speed moved the early point.
    void earlyPointMoved();

private:
    void send(int questionId, const QList<ChatMessage> &messages);
    bool adoptEarly(int questionId, const QString &question);
    void measureFirstToken(qint64 sentAtMs);
    void fail(int questionId, const QString &error);
    void respond(int questionId, const QString &text, bool isDone);
    QString latestWords(const QString &heard, int span);
    void keepSpan(int entryId, int span, const QString &words);
    void cancelAnswer(int questionId);

    QuestionBook *book;
    std::unique_ptr<LLMClient> client;
    PromptBuilder prompt;
    bool earlyRequests = true;
    int questionCounter = 0;
    QMap<int, int> entryOfSpan;        // the listener's span: the book's entry
    QMap<int, QList<int>> spansOf;     // an entry's spans, in order (more than one when merged)
    QMap<int, QString> wordsOf;        // each span's words as the recogniser last said them
    QMap<int, QString> correctedEarly; // corrections that came before their question
    QMap<int, int> requestOf;          // a question's request in the chat client
    EarlyRequestPlan earlyPlan;
};

} // namespace Kelvane
