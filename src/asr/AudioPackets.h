#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace Kelvane {

// Cuts the recogniser's 16 kHz mono audio into packets of about 100 ms, whatever the size of
// the capture buffers: the service asks for packets of about 100 ms, neither larger nor
// smaller. A packet may be asked to end at a given point (the early point of a pause): the
// packets until then take sizes between 80 and 120 ms so that one ends exactly there.
class AudioPackets {
public:
    static constexpr size_t kPacketSamples = 1600; // 100 ms, 3,200 bytes
    static constexpr size_t kMinSamples = 1280;    // 80 ms
    static constexpr size_t kMaxSamples = 1920;    // 120 ms
    using Send = std::function<void(const int16_t *samples, size_t count)>;

    // Adds audio; each packet it completes goes to send. Returns how many did.
    int add(const std::vector<int16_t> &samples, const Send &send);
    // A packet ends after this many samples more (counted from the audio not yet added).
    void endPacketIn(size_t samples);
    void clearTarget() { untilTarget = 0; }
    // The audio of a packet not yet complete (dropped when no session hears it).
    size_t pendingSamples() const { return pending.size(); }
    void clear() {
        pending.clear();
        untilTarget = 0;
    }

private:
    size_t nextSize() const;

    std::vector<int16_t> pending;
    size_t untilTarget = 0; // from the start of the pending packet; 0: none
};

} // namespace Kelvane
