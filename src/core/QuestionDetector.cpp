#include "QuestionDetector.h"

#include "Log.h"

#include <QRegularExpression>

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
    if (silentBufferCount != thresholdBuffers)
        return QString();
    Log::out("[Silence] Detected ", thresholdBuffers * 10,
             "ms silence, checking if should trigger LLM");
    return checkSilenceTrigger();
}

QString QuestionDetector::earlyQuestion(bool pastPoint) const {
    const bool atPoint =
        pastPoint ? silentBufferCount >= earlyBuffers : silentBufferCount == earlyBuffers;
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
    if (!processedText.isEmpty() && text.startsWith(processedText)) {
        newText = text.mid(processedText.size()).trimmed();
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
