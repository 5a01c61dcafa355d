#pragma once

#include "AudioPlatform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace Kelvane {

using AudioDataCallback =
    std::function<void(const uint8_t *data, size_t size, int sampleRate, int channels)>;

// Why the capture thread ended on its own; the owner re-opens capture on a fresh device layer.
enum class CaptureEnd { DeviceFailed, DefaultDeviceChanged };
using CaptureEndedCallback = std::function<void(CaptureEnd why, PlatformResult code)>;
using PlayingCallback = std::function<void(const std::vector<PlayingDevice> &playing)>;

// Loopback capture of the default playback device on a thread of its own. Every poll delivers
// the waiting device packets unchanged; while the device delivers nothing at all, 10 ms blocks
// of generated silence keep the stream in real time (see SilenceClock).
class SilenceClock;

class AudioCapture {
public:
    AudioCapture();
    explicit AudioCapture(std::unique_ptr<AudioPlatform> platform);
    ~AudioCapture();

    AudioCapture(const AudioCapture &) = delete;
    AudioCapture &operator=(const AudioCapture &) = delete;

    bool initialize();
    bool start(AudioDataCallback callback);
    void stop();
    // Called on the capture thread when the thread ends without stop() asking it to.
    void setEndedCallback(CaptureEndedCallback onEnded) { endedCallback = std::move(onEnded); }
    // Called on the capture thread about once a second with the devices playing sound.
    void setPlayingCallback(PlayingCallback onPlaying) { playingCallback = std::move(onPlaying); }

    // Resting: nothing is listened for closely (a long silence with nothing to ask), so the
    // loop wakes rarely and the device delivers larger pieces; on a laptop's battery for a
    // whole interview. Called from the audio callback, on the capture thread.
    void setResting(bool on) { resting = on; }

    bool fellBackToDefault() const { return platform->fellBackToDefault(); }
    // The code of the last failed step of initialize() or start(), for the status detail.
    PlatformResult lastError() const { return lastError_; }
    uint32_t sampleRate() const { return sampleRate_; }
    uint32_t channelCount() const { return channels; }

private:
    bool initializeSteps();
    void captureLoop();
    PlatformResult drainPackets(SilenceClock &clock);

    std::unique_ptr<AudioPlatform> platform;
    bool clientActivated = false;
    bool captureServiceReady = false;
    MixFormat mixFormat;
    uint32_t sampleRate_ = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    std::atomic<bool> capturing{false};
    std::thread thread;
    AudioDataCallback callback;
    CaptureEndedCallback endedCallback;
    PlayingCallback playingCallback;
    bool comInitialized = false;
    bool resting = false; // capture thread only
    PlatformResult lastError_ = kPlatformOk;
};

} // namespace Kelvane
