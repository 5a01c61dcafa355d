#include "SilenceClock.h"

#include <algorithm>

namespace Kelvane {

SilenceClock::SilenceClock(uint32_t sampleRate, uint32_t blockFrames, int64_t toleranceUs)
    : rate(std::max<uint32_t>(1, sampleRate))
    , block(std::max<uint32_t>(1, blockFrames))
    , toleranceFrames(toleranceUs * int64_t(rate) / 1000000) {}

void SilenceClock::restart(int64_t nowUs) {
    startUs = nowUs;
    covered = 0;
}

int64_t SilenceClock::framesAt(int64_t nowUs) const {
    return (nowUs - startUs) * int64_t(rate) / 1000000;
}

void SilenceClock::delivered(uint32_t frames, int64_t nowUs) {
    // Audio arriving now means the device plays now: whatever lag it had is not idleness.
    const int64_t now = framesAt(nowUs);
    covered = std::max(covered + frames, now);
    // A burst of backlog must not buy a long stretch in which real idleness goes unnoticed.
    covered = std::min(covered, now + toleranceFrames);
}

int SilenceClock::silentBlocksDue(int64_t nowUs) {
    const int64_t deficit = framesAt(nowUs) - covered;
    if (deficit <= toleranceFrames)
        return 0;
    const int64_t blocks = (deficit - toleranceFrames + block - 1) / block;
    covered += blocks * block;
    return int(blocks);
}

} // namespace Kelvane
