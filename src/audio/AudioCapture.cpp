#include "AudioCapture.h"

#include "Log.h"
#include "SilenceClock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace Kelvane {

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(10);
constexpr int kSilentBlocksPerReport = 100;
// Which devices play is asked about once a second: one question to the system, no stream.
constexpr auto kRestingPollPeriod = std::chrono::milliseconds(100);
constexpr auto kPlayingCheckPeriod = std::chrono::seconds(1);

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string hex(PlatformResult code) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<uint32_t>(code));
    return text;
}

} // namespace

AudioCapture::AudioCapture()
    : AudioCapture(createAudioPlatform()) {}

AudioCapture::AudioCapture(std::unique_ptr<AudioPlatform> devicePlatform)
    : platform(std::move(devicePlatform)) {}

AudioCapture::~AudioCapture() {
    stop();
    platform->releaseAll();
    clientActivated = false;
    captureServiceReady = false;
    if (comInitialized) {
        platform->uninitializeCom();
        comInitialized = false;
    }
}

bool AudioCapture::initialize() {
    Log::out("[AudioCapture] Initializing ", platform->name(), " audio capture...");
    return initializeSteps();
}

bool AudioCapture::initializeSteps() {
    PlatformResult hr = platform->initializeCom();
    if (hr == kPlatformChangedMode) {
        // COM is usable on this thread already; the other mode's owner balances it.
    } else if (platformFailed(hr)) {
        Log::err("[AudioCapture] COM initialization failed: 0x", hex(hr));
        lastError_ = hr;
        return false;
    } else {
        comInitialized = true;
    }

    hr = platform->createEnumerator();
    if (platformFailed(hr)) {
        Log::err("[AudioCapture] Failed to create device enumerator: 0x", hex(hr));
        lastError_ = hr;
        return false;
    }

    hr = platform->getDefaultEndpoint(DeviceRole::Multimedia);
    if (platformFailed(hr))
        hr = platform->getDefaultEndpoint(DeviceRole::Console);
    if (platformFailed(hr)) {
        Log::err("[AudioCapture] Failed to get default audio endpoint: 0x", hex(hr));
        lastError_ = hr;
        return false;
    }

    std::string deviceName;
    if (!platformFailed(platform->getFriendlyName(deviceName)) && !deviceName.empty())
        Log::out("[AudioCapture] Using device: ", deviceName);

    hr = platform->activateClient();
    if (platformFailed(hr)) {
        Log::err("[AudioCapture] Failed to activate audio client: 0x", hex(hr));
        lastError_ = hr;
        return false;
    }
    clientActivated = true;

    hr = platform->getMixFormat(mixFormat);
    if (platformFailed(hr)) {
        Log::err("[AudioCapture] Failed to get mix format: 0x", hex(hr));
        lastError_ = hr;
        return false;
    }
    sampleRate_ = mixFormat.sampleRate;
    channels = mixFormat.channels;
    bitsPerSample = mixFormat.bitsPerSample;
    Log::out("[AudioCapture] Audio format: ", sampleRate_, "Hz, ", channels, " channels, ",
             bitsPerSample, " bits");

    hr = platform->initializeLoopback(mixFormat);
    if (platformFailed(hr)) {
        Log::err("[AudioCapture] Failed to initialize audio client: 0x", hex(hr));
        lastError_ = hr;
        return false;
    }

    hr = platform->getCaptureService();
    if (platformFailed(hr)) {
        Log::err("[AudioCapture] Failed to get capture client: 0x", hex(hr));
        lastError_ = hr;
        return false;
    }
    captureServiceReady = true;

    Log::out("[AudioCapture] Initialization successful");
    return true;
}

bool AudioCapture::start(AudioDataCallback newCallback) {
    if (capturing.load()) {
        Log::err("[AudioCapture] Already capturing");
        return false;
    }
    if (!clientActivated || !captureServiceReady) {
        Log::err("[AudioCapture] Not initialized");
        return false;
    }

    callback = std::move(newCallback);
    capturing.exchange(true);

    const PlatformResult hr = platform->start();
    if (platformFailed(hr)) {
        Log::err("[AudioCapture] Failed to start audio client: 0x", hex(hr));
        lastError_ = hr;
        capturing.exchange(false);
        return false;
    }

    // A thread that ended on its own is joined by stop(); a fresh start needs a fresh thread.
    if (thread.joinable())
        thread.join();
    thread = std::thread(&AudioCapture::captureLoop, this);
    Log::out("[AudioCapture] Capture started");
    return true;
}

void AudioCapture::stop() {
    if (!capturing.load())
        return;
    Log::out("[AudioCapture] Stopping capture...");
    capturing.exchange(false);
    if (thread.joinable())
        thread.join();
    platform->stop();
    Log::out("[AudioCapture] Capture stopped");
}

void AudioCapture::captureLoop() {
    // The platform's per-thread set-up lives exactly as long as the loop.
    struct ThreadScope {
        AudioPlatform &platform;
        explicit ThreadScope(AudioPlatform &p)
            : platform(p) {
            platform.captureThreadStarted();
        }
        ~ThreadScope() { platform.captureThreadEnding(); }
    } scope(*platform);
    const auto end = [this](CaptureEnd why, PlatformResult code) {
        if (endedCallback)
            endedCallback(why, code);
    };
    // Silence stands in only for time no device audio covers: 10 ms blocks at the device rate.
    const uint32_t blockFrames = std::max<uint32_t>(1, sampleRate_ / 100);
    SilenceClock clock(sampleRate_, blockFrames, SilenceClock::kDefaultToleranceUs);
    clock.restart(nowUs());
    const std::vector<float> silence(static_cast<size_t>(channels) * blockFrames, 0.0f);
    long generatedBlocks = 0;
    auto nextPlayingCheck = std::chrono::steady_clock::now() + kPlayingCheckPeriod;
    bool restingApplied = false;
    while (capturing.load()) {
        std::this_thread::sleep_for(resting ? kRestingPollPeriod : kPollPeriod);
        if (resting != restingApplied)
            platform->setResting(restingApplied = resting);
        if (playingCallback && std::chrono::steady_clock::now() >= nextPlayingCheck) {
            nextPlayingCheck = std::chrono::steady_clock::now() + kPlayingCheckPeriod;
            playingCallback(platform->playingDevices());
        }

        if (platform->defaultDeviceChanged()) {
            Log::out("[AudioCapture] Default playback device changed");
            return end(CaptureEnd::DefaultDeviceChanged, kPlatformOk);
        }

        uint32_t packetFrames = 0;
        const PlatformResult hr = platform->nextPacketSize(packetFrames);
        if (platformFailed(hr)) {
            Log::err("[AudioCapture] GetNextPacketSize failed: 0x", hex(hr));
            return end(CaptureEnd::DeviceFailed, hr);
        }

        if (packetFrames != 0) {
            generatedBlocks = 0;
            // Only a device gone for good ends capture; other failures end this drain.
            const PlatformResult drained = drainPackets(clock);
            if (drained == kPlatformDeviceInvalidated)
                return end(CaptureEnd::DeviceFailed, drained);
            continue;
        }

        for (int due = clock.silentBlocksDue(nowUs()); due > 0 && capturing.load(); --due) {
            if (callback)
                callback(reinterpret_cast<const uint8_t *>(silence.data()),
                         silence.size() * sizeof(float), static_cast<int>(sampleRate_),
                         static_cast<int>(channels));
            if (++generatedBlocks % kSilentBlocksPerReport == 0)
                Log::out("[AudioCapture] No audio data for ",
                         generatedBlocks / kSilentBlocksPerReport, " seconds, generating silence");
        }
    }
}

PlatformResult AudioCapture::drainPackets(SilenceClock &clock) {
    for (;;) {
        if (!capturing.load())
            return kPlatformOk;

        const uint8_t *data = nullptr;
        uint32_t frames = 0;
        PlatformResult hr = platform->getBuffer(data, frames);
        if (platformFailed(hr)) {
            Log::err("[AudioCapture] GetBuffer failed: 0x", hex(hr));
            return hr;
        }

        if (data && frames != 0 && callback)
            callback(data, static_cast<size_t>(frames) * mixFormat.blockAlign,
                     static_cast<int>(sampleRate_), static_cast<int>(channels));
        clock.delivered(frames, nowUs());

        hr = platform->releaseBuffer(frames);
        if (platformFailed(hr))
            Log::err("[AudioCapture] ReleaseBuffer failed: 0x", hex(hr));

        uint32_t nextFrames = 0;
        if (platformFailed(platform->nextPacketSize(nextFrames)) || nextFrames == 0)
            return kPlatformOk;
    }
}

} // namespace Kelvane
