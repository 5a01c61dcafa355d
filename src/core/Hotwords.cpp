#include "Hotwords.h"

#include <QRegularExpression>
#include <QSet>

namespace Kelvane {

namespace {

// Worth a hotword: a Latin word with a capital after its first letter (gRPC, RocketMQ), a
// digit (P99, K8s), or a capital and three letters or more (Kubernetes, Redis).
bool technical(const QString &word) {
    bool innerCapital = false;
    bool digit = false;
    for (qsizetype i = 0; i < word.size(); ++i) {
        innerCapital = innerCapital || (i > 0 && word.at(i).isUpper());
        digit = digit || word.at(i).isDigit();
    }
    return innerCapital || digit || (word.at(0).isUpper() && word.size() >= 3);
}

} // namespace

QStringList Hotwords::found(const QString &text) {
    // Quoted or bracketed names, and Latin-script words (with their dots, pluses and hashes).
    static const QRegularExpression terms(
        QStringLiteral("[「『“\"《【]([^」』”\"》】\\n]{2,%1})[」』”\"》】]|"
                       "([A-Za-z][A-Za-z0-9]*(?:[.+#-][A-Za-z0-9+#]+)*\\+*)")
            .arg(kMaxTermChars));
    QStringList result;
    for (auto match = terms.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch term = match.next();
        if (!term.captured(1).isEmpty())
            result.append(term.captured(1).trimmed());
        else if (term.captured(2).size() >= 2 && technical(term.captured(2)))
            result.append(term.captured(2));
    }
    return result;
}

int Hotwords::tokens(const QString &term) {
    int count = 0;
    int latin = 0;
    for (const QChar c : term) {
        if (c.unicode() < 0x80) {
            ++latin;
            continue;
        }
        count += 1 + (latin + 3) / 4;
        latin = 0;
    }
    return count + (latin + 3) / 4;
}

QStringList Hotwords::from(const QString &userTerms, const QString &resume,
                           const QString &jobDescription) {
    QStringList candidates = userTerms.split(QLatin1Char('\n'));
    candidates += found(resume);
    candidates += found(jobDescription);
    QStringList result;
    QSet<QString> seen;
    int budget = kBudgetTokens;
    for (QString term : candidates) {
        term = term.trimmed();
        if (term.isEmpty() || term.size() > kMaxTermChars || seen.contains(term.toCaseFolded()))
            continue;
        if (tokens(term) > budget)
            break;
        budget -= tokens(term);
        seen.insert(term.toCaseFolded());
        result.append(term);
    }
    return result;
}

} // namespace Kelvane
