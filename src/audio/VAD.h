#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

namespace Kelvane {

struct VadConfig {
    int sampleRate = 16000;
    int frameSize = 160;
    float energyThreshold = 0.01f;
    int minSpeechFrames = 3;
    int minSilenceFrames = 50;
};

using SpeechStateCallback = std::function<void(bool speaking)>;

// Energy and zero-crossing voice-activity detector over 16 kHz mono frames, with an adaptive
// threshold and debounced state changes.
class VAD {
public:
    void setConfig(const VadConfig &newConfig) { config = newConfig; }
    void setCallback(SpeechStateCallback newCallback) { callback = std::move(newCallback); }
    bool process(const int16_t *samples, size_t count);

private:
    static constexpr size_t kHistoryLength = 100;

    VadConfig config;
    SpeechStateCallback callback;
    bool speaking = false;
    int speechFrameCount = 0;
    int silenceFrameCount = 0;
    std::deque<float> energyHistory;
};

} // namespace Kelvane
