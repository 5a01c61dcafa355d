#include "Remarks.h"

#include "SpeechText.h"

#include <QStringList>

#include <vector>

namespace Kelvane::Remarks {

namespace {

// Written as SpeechText::words writes them: no spaces, no punctuation, folded case.
const QStringList &fillers() {
    static const QStringList all{
        QStringLiteral("好的"),    QStringLiteral("好"),    QStringLiteral("嗯"),
        QStringLiteral("对的"),    QStringLiteral("对"),    QStringLiteral("是的"),
        QStringLiteral("行"),      QStringLiteral("可以"),  QStringLiteral("明白了"),
        QStringLiteral("明白"),    QStringLiteral("了解"),  QStringLiteral("没问题"),
        QStringLiteral("哦"),      QStringLiteral("谢谢"),  QStringLiteral("okay"),
        QStringLiteral("ok"),      QStringLiteral("gotit"), QStringLiteral("right"),
        QStringLiteral("sure"),    QStringLiteral("yeah"),  QStringLiteral("isee"),
        QStringLiteral("thankyou")};
    return all;
}

} // namespace

bool isAcknowledgement(const QString &text) {
    const QString said = SpeechText::words(text);
    if (said.isEmpty())
        return false;
    // Whether the first i characters are fillers end to end.
    std::vector<bool> covered(size_t(said.size() + 1), false);
    covered[0] = true;
    for (qsizetype i = 0; i < said.size(); ++i) {
        if (!covered[size_t(i)])
            continue;
        for (const QString &filler : fillers())
            if (QStringView(said).mid(i).startsWith(filler))
                covered[size_t(i + filler.size())] = true;
    }
    return covered.back();
}

Verdict verdict(const QString &answer, bool done) {
    const QString said = answer.trimmed();
    if (said == notAQuestionMarker())
        return done ? Verdict::Remark : Verdict::Undecided;
    if (done)
        return Verdict::Answer;
    return notAQuestionMarker().startsWith(said) ? Verdict::Undecided : Verdict::Answer;
}

} // namespace Kelvane::Remarks
