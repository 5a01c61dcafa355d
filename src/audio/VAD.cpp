#include "VAD.h"

#include "Log.h"

#include <algorithm>
#include <cmath>

namespace Kelvane {

bool VAD::process(const int16_t *samples, size_t count) {
    float energy = 0.0f;
    if (samples && count > 0) {
        double sum = 0.0;
        for (size_t i = 0; i < count; ++i) {
            const double x = samples[i] * (1.0 / 32768.0);
            sum += x * x;
        }
        energy = static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
    }

    float zeroCrossingRate = 0.0f;
    if (samples && count > 1) {
        size_t crossings = 0;
        for (size_t i = 1; i < count; ++i) {
            if ((samples[i - 1] < 0) != (samples[i] < 0))
                ++crossings;
        }
        zeroCrossingRate = static_cast<float>(crossings) / static_cast<float>(count);
    }

    energyHistory.push_back(energy);
    if (energyHistory.size() > kHistoryLength)
        energyHistory.pop_front();

    float threshold = config.energyThreshold;
    if (energyHistory.size() >= 10) {
        float sum = 0.0f;
        for (float value : energyHistory)
            sum += value;
        const float mean = sum / static_cast<float>(energyHistory.size());
        threshold = std::max(config.energyThreshold, 1.5f * mean);
    }

    const bool speechFrame =
        energy > threshold && zeroCrossingRate > 0.05f && zeroCrossingRate < 0.8f;
    if (speechFrame) {
        ++speechFrameCount;
        silenceFrameCount = 0;
        if (!speaking && speechFrameCount >= config.minSpeechFrames) {
            speaking = true;
            Log::out("[VAD] Speech detected");
            if (callback)
                callback(true);
        }
    } else {
        ++silenceFrameCount;
        speechFrameCount = 0;
        if (speaking && silenceFrameCount >= config.minSilenceFrames) {
            speaking = false;
            Log::out("[VAD] Speech ended");
            if (callback)
                callback(false);
        }
    }
    return speaking;
}

} // namespace Kelvane
