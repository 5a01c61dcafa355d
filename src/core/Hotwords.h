#pragma once

#include <QString>
#include <QStringList>

namespace Kelvane {

// The terms the recogniser is asked to prefer: the user's own (术语, one a line) first, then
// those found in the résumé and the job description, where a general recogniser goes wrong:
// Latin-script technical words (Kubernetes, gRPC, P99) and names in quotes or brackets
// («星河订单系统»). Without duplicates or over-long terms, within the service's budget.
class Hotwords {
public:
    static constexpr int kMaxTermChars = 20;
    // The service takes about 100 tokens of hotwords in its duplex mode.
    static constexpr int kBudgetTokens = 100;

    static QStringList from(const QString &userTerms, const QString &resume,
                            const QString &jobDescription);
    // Terms in a profile text, in order of appearance.
    static QStringList found(const QString &text);
    // About how many tokens a term costs: a Chinese character one, a Latin word one per four
    // letters.
    static int tokens(const QString &term);
};

} // namespace Kelvane
