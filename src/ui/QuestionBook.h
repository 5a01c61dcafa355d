#pragma once

#include "SessionRecord.h"

#include <QMap>
#include <QObject>

namespace Kelvane {

// Every question of the session with its answer as far as it arrived, its failure and its
// timing: what the window draws and the export writes.
class QuestionBook : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    const QuestionEntry *find(int questionId) const;
    QList<QuestionEntry> entries() const { return questions.values(); }

public slots:
    void addQuestion(int questionId, const QString &question);
    void setTiming(int questionId, qint64 questionEndMs, qint64 triggeredMs);
    void startThinking(int questionId);
    void addResponse(int questionId, const QString &text, bool isDone);
    void fail(int questionId, const QString &reason);
    void restart(int questionId);

signals:
    // The entry changed; anew: what is shown of it must be drawn from the start, not extended.
    void changed(int questionId, bool anew);
    void added(int questionId);
    // Its failure mark came or went.
    void failedChanged(int questionId, bool failed);

private:
    QMap<int, QuestionEntry> questions;
};

} // namespace Kelvane
