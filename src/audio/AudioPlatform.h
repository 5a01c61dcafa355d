#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Kelvane {

// Result codes of the platform layer read like Windows HRESULTs: negative means failure.
using PlatformResult = int32_t;

constexpr PlatformResult kPlatformOk = 0;
// COM is already initialised on this thread in another apartment mode; still usable.
constexpr PlatformResult kPlatformChangedMode = static_cast<PlatformResult>(0x80010106u);
constexpr PlatformResult kPlatformGenericFailure = static_cast<PlatformResult>(0x80004005u);
// The device behind the stream went away (AUDCLNT_E_DEVICE_INVALIDATED).
constexpr PlatformResult kPlatformDeviceInvalidated = static_cast<PlatformResult>(0x88890004u);

inline bool platformFailed(PlatformResult result) {
    return result < 0;
}

enum class DeviceRole { Console, Multimedia };

// A playback device sound is playing to now.
struct PlayingDevice {
    std::string id;        // what createAudioPlatform takes
    std::string name;      // for people, UTF-8
    std::string program;   // a program playing there, where the platform says; else empty
    bool recorded = false; // the device this capture records
};

struct MixFormat {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    uint32_t blockAlign = 0;
};

// The narrow device layer under AudioCapture. Each operation corresponds to one Core Audio
// call of the loopback path, so the capture logic above it is the same on every platform and
// can be driven by a scripted device in tests.
class AudioPlatform {
public:
    virtual ~AudioPlatform() = default;

    // Word used in the first log line ("Initializing <name> audio capture...").
    virtual std::string name() const = 0;

    virtual PlatformResult initializeCom() = 0;
    virtual void uninitializeCom() = 0;
    virtual PlatformResult createEnumerator() = 0;
    virtual PlatformResult getDefaultEndpoint(DeviceRole role) = 0;
    // Best effort: the endpoint's display name as UTF-8.
    virtual PlatformResult getFriendlyName(std::string &name) = 0;
    virtual PlatformResult activateClient() = 0;
    virtual PlatformResult getMixFormat(MixFormat &format) = 0;
    // Shared-mode loopback stream in the mix format with a one-second buffer.
    virtual PlatformResult initializeLoopback(const MixFormat &format) = 0;
    virtual PlatformResult getCaptureService() = 0;
    virtual PlatformResult start() = 0;
    virtual PlatformResult stop() = 0;

    // Capture-thread operations.
    virtual PlatformResult nextPacketSize(uint32_t &frames) = 0;
    virtual PlatformResult getBuffer(const uint8_t *&data, uint32_t &frames) = 0;
    virtual PlatformResult releaseBuffer(uint32_t frames) = 0;

    // Called on the capture thread as it starts and as it ends (COM's apartment on Windows).
    virtual void captureThreadStarted() {}
    virtual void captureThreadEnding() {}

    // Frees the mix format and every platform object still held.
    virtual void releaseAll() = 0;

    // True once the system's default playback device is another one than the stream's; the
    // capture then ends so that the owner re-opens on the new default. Any thread.
    virtual bool defaultDeviceChanged() { return false; }
    // True when the chosen device was not there and the default one was opened instead.
    virtual bool fellBackToDefault() const { return false; }
    // The playback devices that play sound now, from the system's own accounts (streams,
    // meters): nothing is recorded for it. Capture thread, about once a second.
    virtual std::vector<PlayingDevice> playingDevices() { return {}; }
    // Resting: nothing is being listened for closely, so the device may deliver its audio in
    // larger, rarer pieces (fewer wake-ups on a laptop's battery). Capture thread.
    virtual void setResting(bool) {}
};

// The platform's own implementation (Core Audio on Windows, PulseAudio on Linux), capturing
// the playback device with the given id, or the default one (which it follows) when empty.
std::unique_ptr<AudioPlatform> createAudioPlatform(const std::string &deviceId = std::string());

struct OutputDevice {
    std::string id;   // what createAudioPlatform takes
    std::string name; // for people, UTF-8
    bool playing = false;
};

// The playback devices present now, and whether each plays sound; empty when none (or no
// sound server) answers.
std::vector<OutputDevice> listOutputDevices();

} // namespace Kelvane
