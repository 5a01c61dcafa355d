#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Kelvane {

// Linear-interpolation rate conversion of interleaved 16-bit PCM, one block at a time.
class Resampler {
public:
    void configure(int inputRate, int outputRate, int channels);
    void process(const int16_t *input, size_t count, std::vector<int16_t> &output) const;

private:
    int inputRate = 0;
    int outputRate = 0;
    int channels = 0;
    double ratio = 1.0;
};

} // namespace Kelvane
