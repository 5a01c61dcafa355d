#pragma once

#include <array>
#include <cstdint>

namespace Kelvane {

// Decides whether a capture buffer carries sound, relative to what is being heard: playback at
// a moderate volume puts speech far below any fixed limit, and a steady background (hum, a
// quiet music bed, dither) must not count as speech. A buffer is sound when it is clearly above
// the noise floor (a low percentile of the buffer levels of the last few seconds) and above an
// absolute minimum, or loud by any measure. Plain and cheap: one logarithm and a few counters
// a buffer, a walk over the histogram every 100 ms. One instance per capture thread.
class LoudnessGate {
public:
    // RMS energies in percent of full scale, as SpeechFrames measures them.
    static constexpr double kAlwaysSound = 10.0;  // -20 dBFS
    static constexpr double kMinimumDbfs = -55.0; // nothing quieter is speech
    static constexpr double kAboveFloorDb = 10.0; // how far above the floor sound is
    static constexpr double kFloorPercentile = 0.15;

    bool isSound(double energy);
    // The floor in dBFS the next decision uses (-inf while too little has been heard).
    double noiseFloorDbfs() const { return floorDbfs; }

    static double toDbfs(double energy);

private:
    static constexpr int kBinDb = 2;
    static constexpr int kBins = 60;            // -120 dBFS .. 0 dBFS
    static constexpr int kBuffersPerSlot = 10;  // 100 ms
    static constexpr int kSlots = 40;           // 4 s of history
    static constexpr int kSlotsBeforeFloor = 5; // 0.5 s heard before the floor applies

    using Histogram = std::array<uint16_t, kBins>;
    void closeSlot();

    std::array<Histogram, kSlots> history{};
    std::array<uint32_t, kBins> total{};
    int slot = 0;
    int buffersInSlot = 0;
    int slotsFilled = 0;
    double floorDbfs = -1e9;
};

} // namespace Kelvane
