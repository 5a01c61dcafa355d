#pragma once

#include <cstdint>

namespace Kelvane {

// Decides when the capture loop must stand in for a device that delivers nothing. Audio
// servers and devices hand over audio in fragments whose arrival jitters around the poll
// period, so "nothing waiting at this poll" does not mean "nothing played": a zero block
// generated then would be cut into the speech that arrives a moment later. The clock keeps
// the time covered by what was delivered (and generated) against the time elapsed, and asks
// for silence only once no audio has arrived for longer than a tolerance: a device that is
// really idle. Then the silence keeps pace with the clock, so a pause is counted in real
// time. Plain and synchronous; times are microseconds of a monotonic clock.
class SilenceClock {
public:
    // The block is what one generated silence delivers; tolerance is how far delivered audio
    // may lag behind the clock before the device counts as idle.
    SilenceClock(uint32_t sampleRate, uint32_t blockFrames, int64_t toleranceUs);

    void restart(int64_t nowUs);
    void delivered(uint32_t frames, int64_t nowUs);
    // How many blocks of silence are due now; they count as delivered.
    int silentBlocksDue(int64_t nowUs);

    static constexpr int64_t kDefaultToleranceUs = 40000;

private:
    int64_t framesAt(int64_t nowUs) const;

    uint32_t rate;
    uint32_t block;
    int64_t toleranceFrames;
    int64_t startUs = 0;
    int64_t covered = 0; // frames since startUs
};

} // namespace Kelvane
