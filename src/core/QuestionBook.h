#pragma once

#include <QList>
#include <QObject>
#include <QString>

namespace Kelvane {

// One thing the interviewer said, as the session keeps it: a question with its answer, or a
// remark (an acknowledgement, words the model found no question in, a question withdrawn),
// which is kept for the record and never listed.
struct QuestionEntry {
    int id = 0;
    bool remark = false;
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

// Everything the interviewer said in the session, in order, with each question's answer as
// far as it arrived: what the window draws, the export writes and the next question's
// context is taken from. Ids grow with time; a question's number is its place among the
// questions listed, so the list never has a gap.
class QuestionBook : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    const QuestionEntry *find(int id) const;
    const QList<QuestionEntry> &entries() const { return all; }
    // The number the question shows (1 for the first listed), 0 for a remark or none.
    int number(int id) const;
    // The newest question listed, and the one listed before a question: 0 for none.
    int newestQuestion() const;
    int questionBefore(int id) const;

    void addQuestion(int id, const QString &question);
    void addRemark(int id, const QString &text);
    // The recogniser corrected what was heard.
    void setText(int id, const QString &text);
    // A question leaves the list; its words stay in the record as the interviewer's.
    void makeRemark(int id);
    // Gone from the session altogether (joined into the question before it).
    void remove(int id);

    void setTiming(int id, qint64 questionEndMs, qint64 triggeredMs);
    void startThinking(int id);
    void addResponse(int id, const QString &text, bool isDone);
    void fail(int id, const QString &reason);
    // The answer starts again from nothing.
    void restart(int id);

signals:
    // The entry changed; anew: what is shown of it must be drawn from the start, not extended.
    void changed(int id, bool anew);
    void added(int id);
    // Which questions are listed, their numbers or their texts changed.
    void listChanged();
    // Its failure mark came or went.
    void failedChanged(int id, bool failed);

private:
    QuestionEntry *entry(int id);

    QList<QuestionEntry> all; // by id
};

} // namespace Kelvane
