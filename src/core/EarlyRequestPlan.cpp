#include "EarlyRequestPlan.h"

#include <QRegularExpression>

#include <algorithm>

namespace Kelvane {

void EarlyRequestPlan::recordFirstToken(qint64 ms) {
    if (ms < 0)
        return;
    measured.push_back(ms);
    if (measured.size() > size_t(kWindow))
        measured.erase(measured.begin());
}

qint64 EarlyRequestPlan::firstTokenEstimateMs() const {
    if (measured.size() < size_t(kMeasuredBeforeUse))
        return kSeedFirstTokenMs;
    std::vector<qint64> sorted = measured;
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    return sorted[sorted.size() / 2];
}

int EarlyRequestPlan::earlyBuffers(int thresholdBuffers) const {
    const qint64 thresholdMs = qint64(thresholdBuffers) * 10;
    const qint64 point = std::max(kEarliestMs, thresholdMs - firstTokenEstimateMs() - kMarginMs);
    // A point at or after the threshold is no early point.
    return point < thresholdMs ? int(point / 10) : 0;
}

bool EarlyRequestPlan::failureIsFinal(int httpStatus) {
    return httpStatus == 401 || httpStatus == 402 || httpStatus == 403;
}

int EarlyRequestPlan::httpStatusOf(const QString &error) {
    static const QRegularExpression status(QStringLiteral("^HTTP (\\d{3})\\b"));
    const QRegularExpressionMatch match = status.match(error);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

EarlyRequestPlan::Adoption EarlyRequestPlan::adoption(const EarlyState &early,
                                                      const QString &question) {
    if (early.text != question)
        return Adoption::SendAnew;
    if (!early.failed)
        return Adoption::Adopt;
    // A failure of the connection may not happen again; one of the key or account will.
    return failureIsFinal(early.httpStatus) ? Adoption::ShowFailure : Adoption::SendAnew;
}

} // namespace Kelvane
