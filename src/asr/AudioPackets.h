#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace Kelvane {

// Cuts the recogniser's 16 kHz mono audio into packets of 100 ms, whatever the size of the
// capture buffers: the service asks for packets of about 100 ms, neither larger nor smaller.
class AudioPackets {
public:
    static constexpr size_t kPacketSamples = 1600; // 100 ms, 3,200 bytes
    using Send = std::function<void(const int16_t *samples, size_t count)>;

    // Adds audio; each packet it completes goes to send. Returns how many did.
    int add(const std::vector<int16_t> &samples, const Send &send);
    // The audio of a packet not yet complete (dropped when no session hears it).
    size_t pendingSamples() const { return pending.size(); }
    void clear() { pending.clear(); }

private:
    std::vector<int16_t> pending;
};

} // namespace Kelvane
