#include "LoudnessGate.h"

#include <algorithm>
#include <cmath>

namespace Kelvane {

double LoudnessGate::toDbfs(double energy) {
    return energy > 0.0 ? 20.0 * std::log10(energy / 100.0) : -1e9;
}

bool LoudnessGate::isSound(double energy) {
    const double dbfs = toDbfs(energy);
    const bool sound =
        energy > kAlwaysSound || (dbfs > kMinimumDbfs && dbfs > floorDbfs + kAboveFloorDb);

    const int bin = std::clamp(int((dbfs + kBins * kBinDb) / kBinDb), 0, kBins - 1);
    ++history[size_t(slot)][size_t(bin)];
    ++total[size_t(bin)];
    if (++buffersInSlot == kBuffersPerSlot)
        closeSlot();
    return sound;
}

void LoudnessGate::closeSlot() {
    buffersInSlot = 0;
    slotsFilled = std::min(slotsFilled + 1, kSlots);
    slot = (slot + 1) % kSlots;
    if (slotsFilled >= kSlotsBeforeFloor) {
        uint32_t count = 0;
        for (uint32_t n : total)
            count += n;
        const auto wanted = uint32_t(double(count) * kFloorPercentile);
        uint32_t seen = 0;
        for (int bin = 0; bin < kBins; ++bin) {
            seen += total[size_t(bin)];
            if (seen > wanted) {
                // The bin's upper edge: a floor never under what was actually heard.
                floorDbfs = bin == 0 ? -1e9 : double((bin + 1) * kBinDb - kBins * kBinDb);
                break;
            }
        }
    }
    // The slot about to be reused leaves the history.
    Histogram &oldest = history[size_t(slot)];
    for (int bin = 0; bin < kBins; ++bin)
        total[size_t(bin)] -= oldest[size_t(bin)];
    oldest.fill(0);
}

} // namespace Kelvane
