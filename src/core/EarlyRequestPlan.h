#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

namespace Kelvane {

// When to ask the chat service before a pause is long enough to end the question, and what to
// do with that request when the question ends. The early request must leave about one
// first-token time before the threshold for the answer to appear as the pause ends, so the
// point follows the service's measured speed: late for a fast service (few requests wasted on
// pauses inside a question), early for a slow one. Plain and synchronous.
class EarlyRequestPlan {
public:
    static constexpr qint64 kSeedFirstTokenMs = 700; // until a few answers are measured
    static constexpr int kMeasuredBeforeUse = 2;
    static constexpr int kWindow = 9; // the median of the last nine
    static constexpr qint64 kMarginMs = 50;
    static constexpr qint64 kEarliestMs = 200; // never earlier into a pause

    // Request sent to the first content or reasoning delta, as this run measured it.
    void recordFirstToken(qint64 ms);
    qint64 firstTokenEstimateMs() const;
    // The silent buffers (10 ms) after which to send the early request; 0: none.
    int earlyBuffers(int thresholdBuffers) const;

    // What becomes of the early request when the question ends.
    enum class Adoption { Adopt, SendAnew, ShowFailure };
    struct EarlyState {
        QString text; // what it asked
        bool failed = false;
        int httpStatus = 0; // of its failure, 0 when none or not HTTP
    };
    static Adoption adoption(const EarlyState &early, const QString &question);
    // A failure the same request would meet again: the key or the account.
    static bool failureIsFinal(int httpStatus);
    // The status at the start of a chat failure's text ("HTTP 401 ..."), 0 for none.
    static int httpStatusOf(const QString &error);

private:
    std::vector<qint64> measured; // newest last, at most kWindow
};

} // namespace Kelvane
