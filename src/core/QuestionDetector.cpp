#include "QuestionDetector.h"

#include "Log.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace Kelvane {

namespace {

const QRegularExpression &symbolsAndSpace() {
    static const QRegularExpression expression(QStringLiteral("[？?！!。.,，、；;：:\\s]"));
    return expression;
}

const QRegularExpression &symbolsOnly() {
    static const QRegularExpression expression(QStringLiteral("[？?！!。.,，、；;：:]"));
    return expression;
}

// The words alone: no punctuation, no spaces, no case. positions: where each one stands in
// the text.
QString words(const QString &text, std::vector<qsizetype> *positions = nullptr) {
    static const QString symbols = QStringLiteral("？?！!。.,，、；;：:");
    QString result;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i).isSpace() || symbols.contains(text.at(i)))
            continue;
        result += text.at(i).toCaseFolded();
        if (positions)
            positions->push_back(i);
    }
    return result;
}

// How many characters a recogniser may correct in a text of this length and it still be the
// same speech.
int allowedEdits(qsizetype length) {
    return int(std::clamp<qsizetype>(length / 8, 1, 6));
}

// Edit distance, or limit + 1 when it is over the limit (a band around the diagonal only).
int editDistance(const QString &a, const QString &b, int limit) {
    const qsizetype n = a.size(), m = b.size();
    if (std::abs(n - m) > limit)
        return limit + 1;
    const int over = limit + 1;
    std::vector<int> previous(size_t(m + 1), over), current(size_t(m + 1), over);
    for (qsizetype j = 0; j <= std::min<qsizetype>(m, limit); ++j)
        previous[size_t(j)] = int(j);
    for (qsizetype i = 1; i <= n; ++i) {
        std::fill(current.begin(), current.end(), over);
        if (i <= limit)
            current[0] = int(i);
        for (qsizetype j = std::max<qsizetype>(1, i - limit); j <= std::min(m, i + limit); ++j) {
            const int substitute = previous[size_t(j - 1)] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[size_t(j)] =
                std::min({substitute, previous[size_t(j)] + 1, current[size_t(j - 1)] + 1, over});
        }
        std::swap(previous, current);
    }
    return previous[size_t(m)];
}

bool sameSpeech(const QString &a, const QString &b) {
    return editDistance(a, b, allowedEdits(std::max(a.size(), b.size()))) <=
           allowedEdits(std::max(a.size(), b.size()));
}

} // namespace

QString QuestionDetector::onBuffer(bool loud) {
    if (!loud) {
        ++silentBufferCount;
    } else {
        if (silentBufferCount > 0)
            Log::out("[Silence] Reset silent counter (was ", silentBufferCount, " frames)");
        hasSpeech = true;
        silentBufferCount = 0;
    }
    // (at or past it: a threshold lowered below the silence already counted ends it now)
    if (silentBufferCount < thresholdBuffers)
        return QString();
    Log::out("[Silence] Detected ", thresholdBuffers * 10,
             "ms silence, checking if should trigger LLM");
    return checkSilenceTrigger();
}

QString QuestionDetector::earlyQuestion(bool pastPoint) const {
    // The first packet to leave at or after the point.
    const bool atPoint = silentBufferCount >= earlyBuffers &&
                         (pastPoint || silentBufferCount - kPacketBuffers < earlyBuffers);
    if (earlyBuffers <= 0 || !atPoint || silentBufferCount >= thresholdBuffers || !hasSpeech ||
        !wouldAsk(currentASRText))
        return QString();
    return currentASRText;
}

// The trigger's checks, without their log lines: not empty, not only symbols, not the last
// question again.
bool QuestionDetector::wouldAsk(const QString &text) const {
    QString withoutSymbols = text;
    withoutSymbols.remove(symbolsAndSpace());
    if (withoutSymbols.isEmpty())
        return false;
    QString current = text;
    QString last = lastTriggeredText;
    current.remove(symbolsOnly());
    last.remove(symbolsOnly());
    return current != last || last.isEmpty();
}

QString QuestionDetector::checkSilenceTrigger() {
    if (!hasSpeech || currentASRText.isEmpty()) {
        Log::out("[Silence] Skip LLM trigger: hasSpeech=", hasSpeech ? 1 : 0,
                 ", currentASRText=", currentASRText);
        return QString();
    }

    QString question;
    QString withoutSymbols = currentASRText;
    withoutSymbols.remove(symbolsAndSpace());
    if (withoutSymbols.isEmpty()) {
        Log::out("[Silence] ⚠️ Skip LLM trigger: text contains only symbols: \"",
                 currentASRText, "\"");
    } else {
        QString current = currentASRText;
        QString last = lastTriggeredText;
        current.remove(symbolsOnly());
        last.remove(symbolsOnly());
        if (current == last && !last.isEmpty()) {
            Log::out("[Silence] ⚠️ Skip duplicate trigger (same as last): ", currentASRText);
        } else {
            Log::out("[Silence] ✅ Triggering LLM with text: ", currentASRText);
            lastTriggeredText = currentASRText;
            question = currentASRText;
            ++asked;
            processedText = latestASRText;
            Log::out("[Silence] 📝 更新已处理累积文本为: \"", processedText, "\"");
        }
    }

    currentASRText.clear();
    hasSpeech = false;
    silentBufferCount = 0;
    return question;
}

QString QuestionDetector::onResult(const QString &text, bool isFinal) {
    Log::out("[Application] ASR result (", isFinal ? "final" : "partial", "): ", text);
    // Partial results carry the session's whole text; a final one carries a single sentence
    // and would make a poor prefix to strip from the next whole-text result.
    if (!isFinal)
        latestASRText = text;

    QString newText = text;
    if (!processedText.isEmpty()) {
        newText = speechAfterAsked(text, isFinal);
        if (newText != text)
            Log::out("[Application] 🔄 去重: 原始=\"", text, "\", 已处理前缀=\"", processedText,
                     "\", 新增=\"", newText, "\"");
    }

    if (!newText.isEmpty()) {
        currentASRText = newText;
        hasSpeech = true;
        Log::out("[Application] Updated current ASR text: ", newText);
    }
    return newText;
}

} // namespace Kelvane

namespace Kelvane {

QString QuestionDetector::speechAfterAsked(const QString &text, bool isFinal) {
    if (text.startsWith(processedText)) {
        const QString rest = text.mid(processedText.size()).trimmed();
        return words(rest).isEmpty() ? QString() : rest; // punctuation added is no speech
    }
    std::vector<qsizetype> positions;
    const QString heard = words(text, &positions);
    const QString said = words(processedText);
    if (heard.isEmpty())
        return QString();
    if (isFinal) {
        // One sentence: new speech unless it is (a corrected form of) what was asked.
        const QString tail = said.right(heard.size());
        return said.contains(heard) || sameSpeech(heard, words(lastTriggeredText)) ||
                       sameSpeech(heard, tail)
                   ? QString()
                   : text;
    }
    // The whole session's text: the asked part, perhaps corrected, then what is new. The
    // corrected part may be a little shorter or longer than the asked one.
    const int allowed = allowedEdits(said.size());
    qsizetype bestEnd = -1;
    int best = allowed + 1;
    for (qsizetype end = std::max<qsizetype>(0, said.size() - allowed);
         end <= std::min(heard.size(), said.size() + allowed); ++end) {
        const int distance = editDistance(said, heard.left(end), allowed);
        if (distance < best || (distance == best && end == said.size())) {
            best = distance;
            bestEnd = end;
        }
    }
    if (bestEnd < 0 || best > allowed)
        return text; // another transcript altogether
    const qsizetype cut = bestEnd < heard.size() ? positions[size_t(bestEnd)] : text.size();
    // The corrected text is the prefix from now on.
    processedText = text.left(cut);
    return text.mid(cut).trimmed();
}

QString QuestionDetector::endQuestion() {
    const QString unasked = hasSpeech && wouldAsk(currentASRText) ? currentASRText : QString();
    currentASRText.clear();
    hasSpeech = false;
    silentBufferCount = 0;
    startNewTranscript();
    return unasked;
}

} // namespace Kelvane
