#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

namespace Kelvane {

// What the recogniser reports of the session's audio, placed on its timeline: milliseconds of
// audio since the session began, -1 where it gives no time.
struct RecognisedWord {
    QString text;
    qint64 startMs = -1;
    qint64 endMs = -1;
};

struct Utterance {
    QString text;
    qint64 startMs = -1;
    qint64 endMs = -1;
    bool definite = false;
    std::vector<RecognisedWord> words; // without punctuation; may be empty
};

// One result: the session's whole text and, when the service shows them, its utterances.
struct RecognitionResult {
    QString text;
    std::vector<Utterance> utterances;
    qint64 heardMs = -1; // how much of the session's audio the recogniser has heard
    int session = 0; // the client's count of sessions, so a result is never read in another
};

} // namespace Kelvane
