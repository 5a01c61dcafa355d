#include "SpeechText.h"

namespace Kelvane::SpeechText {

namespace {

const QString &symbols() {
    static const QString all = QStringLiteral("？?！!。.,，、；;：:");
    return all;
}

bool latin(QChar c) {
    return c.unicode() < 0x250 && c.isLetterOrNumber();
}

// Where each sentence ends: after 。？！?! or a full stop before a space or the end.
bool endsSentence(const QString &text, qsizetype i) {
    const QChar c = text.at(i);
    if (QStringLiteral("。？！?!").contains(c))
        return true;
    return c == u'.' && (i + 1 == text.size() || text.at(i + 1).isSpace());
}

} // namespace

QString words(const QString &text, std::vector<qsizetype> *positions) {
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i).isSpace() || symbols().contains(text.at(i)))
            continue;
        result += text.at(i).toCaseFolded();
        if (positions)
            positions->push_back(i);
    }
    return result;
}

QString join(const QString &first, const QString &second) {
    QString head = first.trimmed();
    const QString tail = second.trimmed();
    if (tail.isEmpty())
        return head;
    while (!head.isEmpty() && QStringLiteral("。.,，、；;：:").contains(head.back()))
        head.chop(1);
    if (head.isEmpty())
        return tail;
    return latin(head.back()) && latin(tail.front()) ? head + u' ' + tail : head + tail;
}

int sentences(const QString &text) {
    int count = 0;
    bool open = false; // words since the last end
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (endsSentence(text, i)) {
            count += open ? 1 : 0;
            open = false;
        } else if (!text.at(i).isSpace() && !symbols().contains(text.at(i))) {
            open = true;
        }
    }
    return count + (open ? 1 : 0);
}

QString afterSentences(const QString &text, int count) {
    int seen = 0;
    bool open = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (endsSentence(text, i)) {
            seen += open ? 1 : 0;
            open = false;
            if (seen == count)
                return text.mid(i + 1).trimmed();
        } else if (!text.at(i).isSpace() && !symbols().contains(text.at(i))) {
            open = true;
        }
    }
    return count == 0 ? text.trimmed() : QString();
}

} // namespace Kelvane::SpeechText
