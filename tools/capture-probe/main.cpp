// Drives AudioCapture on its own: initialise, capture for a few seconds, report what arrived.
// Built for Linux with the project and cross-compiled for Windows to check the Core Audio layer.

#include "AudioCapture.h"
#include "Log.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

int main(int argc, char *argv[]) {
    using namespace Kelvane;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;

    AudioCapture capture;
    if (!capture.initialize()) {
        Log::err("[probe] initialisation failed");
        return 1;
    }

    std::atomic<long> frames{0};
    std::atomic<long> silentFrames{0};
    std::atomic<double> peak{0.0};
    const bool started = capture.start([&](const uint8_t *data, size_t size, int, int) {
        const auto *samples = reinterpret_cast<const float *>(data);
        bool silent = true;
        double framePeak = 0.0;
        for (size_t i = 0; i < size / sizeof(float); ++i) {
            silent = silent && samples[i] == 0.0f;
            framePeak = std::fmax(framePeak, std::fabs(double(samples[i])));
        }
        ++frames;
        if (silent)
            ++silentFrames;
        if (framePeak > peak.load())
            peak.store(framePeak);
    });
    if (!started) {
        Log::err("[probe] capture did not start");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    capture.stop();
    Log::out("[probe] frames=", frames.load(), " silent=", silentFrames.load(),
             " peak=", peak.load());
    return 0;
}
