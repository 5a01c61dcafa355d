#include "AudioPackets.h"

#include <algorithm>

namespace Kelvane {

void AudioPackets::endPacketIn(size_t samples) {
    untilTarget = pending.size() + samples;
}

// 100 ms while the target is far; near it, the fewest packets of 80 to 120 ms that end on it.
// (Between 120 and 160 ms away no two packets fit: the target is passed by a little.)
size_t AudioPackets::nextSize() const {
    if (untilTarget == 0 || untilTarget >= kPacketSamples + 2 * kMaxSamples)
        return kPacketSamples;
    const size_t packets = (untilTarget + kMaxSamples - 1) / kMaxSamples;
    return std::clamp(untilTarget / packets, kMinSamples, kMaxSamples);
}

int AudioPackets::add(const std::vector<int16_t> &samples, const Send &send) {
    pending.insert(pending.end(), samples.begin(), samples.end());
    size_t offset = 0;
    int sent = 0;
    for (size_t size = nextSize(); pending.size() - offset >= size; size = nextSize()) {
        send(pending.data() + offset, size);
        offset += size;
        ++sent;
        untilTarget = untilTarget > size ? untilTarget - size : 0;
    }
    pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(offset));
    return sent;
}

} // namespace Kelvane
