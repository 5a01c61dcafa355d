#include "SpeechFrames.h"

#include <algorithm>
#include <cmath>

namespace Kelvane {

int16_t SpeechFrames::toPcm16(float sample) {
    if (std::isnan(sample))
        return 0;
    const float scaled = std::clamp(sample * 32768.0f, -32768.0f, 32767.0f);
    return static_cast<int16_t>(scaled);
}

SpeechFrames::Result SpeechFrames::convert(const float *interleaved, size_t sampleCount,
                                           int sampleRate, int channels) {
    pcm.resize(sampleCount);
    for (size_t i = 0; i < sampleCount; ++i)
        pcm[i] = toPcm16(interleaved[i]);

    resampler.configure(sampleRate, kTargetRate, channels);
    resampler.process(pcm.data(), pcm.size(), resampled);

    if (channels >= 2) {
        // Every channel counts: a surround device speaks through its centre channel.
        const size_t width = static_cast<size_t>(channels);
        mono.resize(resampled.size() / width);
        for (size_t frame = 0; frame < mono.size(); ++frame) {
            int32_t sum = 0;
            for (size_t c = 0; c < width; ++c)
                sum += resampled[frame * width + c];
            mono[frame] = static_cast<int16_t>(sum / static_cast<int32_t>(width));
        }
    } else {
        mono.swap(resampled);
    }

    Result result{mono};
    const size_t measured = std::min(mono.size(), kEnergyWindow);
    if (measured == 0)
        return result;
    double sum = 0.0;
    for (size_t i = 0; i < measured; ++i) {
        const double x = mono[i] * (1.0 / 32768.0);
        sum += x * x;
    }
    result.measured = true;
    result.energy = std::sqrt(sum / static_cast<double>(measured)) * 100.0;
    return result;
}

} // namespace Kelvane
