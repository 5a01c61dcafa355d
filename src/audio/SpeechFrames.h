#pragma once

#include "Resampler.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Kelvane {

// Turns one capture buffer (interleaved 32-bit float samples at the device's rate and channel
// count) into what the recogniser takes, 16 kHz mono 16-bit PCM, and measures its loudness.
// Not thread-safe: one instance per capture thread; the result stays valid until the next call.
class SpeechFrames {
public:
    static constexpr int kTargetRate = 16000;
    // Loudness is measured over at most this many 16 kHz samples (100 ms).
    static constexpr size_t kEnergyWindow = 1600;

    struct Result {
        const std::vector<int16_t> &samples;
        // False when the buffer yields no 16 kHz sample at all: it then carries no loudness.
        bool measured = false;
        double energy = 0.0; // RMS, percent of full scale; whether that is sound: LoudnessGate
    };

    Result convert(const float *interleaved, size_t sampleCount, int sampleRate, int channels);

    // Full-scale float to 16-bit: clamped, truncated toward zero; NaN is silence.
    static int16_t toPcm16(float sample);

private:
    Resampler resampler;
    std::vector<int16_t> pcm;
    std::vector<int16_t> resampled;
    std::vector<int16_t> mono;
};

} // namespace Kelvane
