#include "AudioPackets.h"

namespace Kelvane {

int AudioPackets::add(const std::vector<int16_t> &samples, const Send &send) {
    pending.insert(pending.end(), samples.begin(), samples.end());
    size_t offset = 0;
    int sent = 0;
    for (; pending.size() - offset >= kPacketSamples; offset += kPacketSamples, ++sent)
        send(pending.data() + offset, kPacketSamples);
    pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(offset));
    return sent;
}

} // namespace Kelvane
