#include "Resampler.h"

namespace Kelvane {

void Resampler::configure(int newInputRate, int newOutputRate, int newChannels) {
    inputRate = newInputRate;
    outputRate = newOutputRate;
    channels = newChannels;
    ratio = (inputRate > 0 && outputRate > 0)
                ? static_cast<double>(outputRate) / static_cast<double>(inputRate)
                : 1.0;
}

void Resampler::process(const int16_t *input, size_t count, std::vector<int16_t> &output) const {
    if (!input || count == 0 || channels <= 0) {
        output.clear();
        return;
    }
    if (inputRate == outputRate) {
        output.assign(input, input + count);
        return;
    }

    const size_t channelCount = static_cast<size_t>(channels);
    const size_t inFrames = count / channelCount;
    const size_t outFrames =
        inputRate == 0 ? 0 : static_cast<size_t>(static_cast<double>(inFrames) * ratio);
    output.resize(outFrames * channelCount);
    if (inFrames == 0) {
        output.clear();
        return;
    }

    for (size_t i = 0; i < outFrames; ++i) {
        const double position = static_cast<double>(i) / ratio;
        const size_t index = static_cast<size_t>(position);
        const double fraction = position - static_cast<double>(index);
        for (size_t c = 0; c < channelCount; ++c) {
            if (index + 1 < inFrames) {
                const double a = input[index * channelCount + c];
                const double b = input[(index + 1) * channelCount + c];
                output[i * channelCount + c] = static_cast<int16_t>((b - a) * fraction + a);
            } else {
                output[i * channelCount + c] = input[(inFrames - 1) * channelCount + c];
            }
        }
    }
}

} // namespace Kelvane
