#include "QuestionSpans.h"

#include "SpeechText.h"

#include <algorithm>

namespace Kelvane {

namespace {

// Where the utterance begins: its own start, else its first word's; -1 when it gives none.
qint64 startOf(const Utterance &utterance) {
    if (utterance.startMs >= 0)
        return utterance.startMs;
    const auto word = std::find_if(utterance.words.begin(), utterance.words.end(),
                                   [](const auto &w) { return w.startMs >= 0; });
    return word == utterance.words.end() ? -1 : word->startMs;
}

} // namespace

size_t QuestionSpans::ownerOf(qint64 ms) const {
    // The first span that ends after it; past the last, the open one.
    const auto it = std::upper_bound(closed.begin(), closed.end(), ms,
                                     [](qint64 t, const Span &span) { return t < span.endMs; });
    return size_t(it - closed.begin());
}

// Each utterance goes to the span its words start in; one that a trigger falls inside is cut
// between its words. False when some utterance has no time to place it by.
bool QuestionSpans::readByTimes(const RecognitionResult &result, std::vector<QString> &pieces,
                                qint64 &lastEnd) const {
    bool any = false;
    for (const Utterance &utterance : result.utterances) {
        if (utterance.text.trimmed().isEmpty())
            continue;
        const qint64 start = startOf(utterance);
        if (start < 0)
            return false;
        any = true;
        size_t owner = ownerOf(start);
        // Most utterances lie within one span: only one that a close falls inside is read word
        // by word.
        const qint64 lastStart = utterance.words.empty()
                                     ? utterance.endMs
                                     : std::max(utterance.endMs, utterance.words.back().startMs);
        const qint64 end = utterance.words.empty() ? utterance.endMs
                                                   : std::max(utterance.words.back().endMs,
                                                              utterance.words.back().startMs);
        if (owner == closed.size() || lastStart < closed[owner].endMs) {
            pieces[owner] = SpeechText::join(pieces[owner], utterance.text);
            if (owner == closed.size())
                lastEnd = std::max(lastEnd, end);
            continue;
        }
        qsizetype from = 0; // where the piece of `owner` begins in the text
        qsizetype searchFrom = 0;
        for (const RecognisedWord &word : utterance.words) {
            const qsizetype at = utterance.text.indexOf(word.text, searchFrom);
            if (word.startMs < 0 || word.text.isEmpty() || at < 0)
                continue; // (a word the text does not show stays with its neighbours)
            searchFrom = at + word.text.size();
            const size_t wordOwner = ownerOf(word.startMs);
            if (wordOwner == owner)
                continue;
            if (at > from)
                pieces[owner] =
                    SpeechText::join(pieces[owner], utterance.text.mid(from, at - from));
            owner = wordOwner;
            from = at;
        }
        pieces[owner] = SpeechText::join(pieces[owner], utterance.text.mid(from));
        if (owner == closed.size())
            lastEnd = std::max(lastEnd, end);
    }
    return any;
}

// Without times: what follows the text asked so far, or, when the recogniser rewrote that,
// what follows as many sentences as it had. Never the asked words again.
QString QuestionSpans::openByText(const QString &text) const {
    std::vector<qsizetype> positions;
    const QString heard = SpeechText::words(text, &positions);
    const QString asked = SpeechText::words(textAtClose);
    if (heard.startsWith(asked))
        return asked.size() < heard.size() ? text.mid(positions[size_t(asked.size())]).trimmed()
                                           : QString();
    return SpeechText::afterSentences(text, SpeechText::sentences(textAtClose));
}

std::vector<QuestionSpans::Correction> QuestionSpans::onResult(const RecognitionResult &result) {
    std::vector<Correction> corrections;
    std::vector<QString> pieces(closed.size() + 1);
    qint64 lastEnd = -1;
    if (readByTimes(result, pieces, lastEnd)) {
        for (size_t i = 0; i < closed.size(); ++i) {
            // (a span the recogniser no longer shows keeps what it had)
            if (pieces[i].isEmpty() || pieces[i] == closed[i].text)
                continue;
            closed[i].text = pieces[i];
            corrections.push_back({closed[i].serial, pieces[i]});
        }
        open = SpeechText::join(carried, pieces.back());
        openEnd = lastEnd;
        heardToMs = result.heardMs;
    } else if (!result.text.trimmed().isEmpty()) {
        open = SpeechText::join(carried, openByText(result.text));
        openEnd = heardToMs = -1;
    } else {
        return corrections; // nothing heard: no reason to forget what was
    }
    lastText = result.text;
    return corrections;
}

int QuestionSpans::close(qint64 audioMs) {
    const qint64 end = std::max(audioMs, openFromMs);
    closed.push_back({++serials, end, open});
    openFromMs = end;
    carried.clear();
    open.clear();
    openEnd = heardToMs = -1;
    textAtClose = lastText;
    return serials;
}

void QuestionSpans::startSession() {
    carried = open;
    closed.clear();
    openFromMs = 0;
    openEnd = heardToMs = -1;
    lastText.clear();
    textAtClose.clear();
}

void QuestionSpans::clear() {
    startSession();
    carried.clear();
    open.clear();
}

} // namespace Kelvane
