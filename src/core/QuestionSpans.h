#pragma once

#include "RecognitionResult.h"

#include <QString>
#include <QtGlobal>

#include <vector>

namespace Kelvane {

// Which speech belongs to which question, on the recogniser's timeline. A question closed at
// a trigger owns every word the recogniser places before that point in the session's audio,
// whatever it later makes of them (re-punctuated, corrected, marked definite, rewritten by its
// second pass): those change the question's text and ask nothing. Only words placed after it
// make up the open span, the question in progress. A result without times is read by its
// text, never asking what was asked again. Plain and synchronous.
class QuestionSpans {
public:
    struct Correction {
        int span = 0;
        QString text;
    };

    // Returns the closed spans whose text the result changed.
    std::vector<Correction> onResult(const RecognitionResult &result);
    // What was heard since the last close: the question in progress.
    const QString &openText() const { return open; }
    // Where the recogniser places the end of the open span's last word, and how far into the
    // session it has heard (-1: it did not say).
    qint64 openEndMs() const { return openEnd; }
    qint64 heardMs() const { return heardToMs; }
    // The open span ends at audioMs of the session's audio: its number, by which corrections
    // name it.
    int close(qint64 audioMs);
    // A new recognition session, whose timeline starts at 0: what was heard and not closed
    // stays ahead of what it hears.
    void startSession();
    // Listening stopped: nothing carries over.
    void clear();

private:
    struct Span {
        int serial = 0;
        qint64 endMs = 0;
        QString text;
    };
    // Where each piece of the result belongs: closed.size() for the open span.
    size_t ownerOf(qint64 ms) const;
    bool readByTimes(const RecognitionResult &result, std::vector<QString> &pieces,
                     qint64 &lastEnd) const;
    QString openByText(const QString &text) const;

    std::vector<Span> closed; // this session's, oldest first
    qint64 openFromMs = 0;
    QString carried; // heard in an earlier session, not closed
    QString open;
    qint64 openEnd = -1;
    qint64 heardToMs = -1;
    QString lastText;    // the session's whole text, as the last result said it
    QString textAtClose; // ... when the open span began, for results without times
    int serials = 0;
};

} // namespace Kelvane
