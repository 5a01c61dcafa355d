#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Kelvane::Wasapi {

// The Windows capture layer's decisions that need no COM, kept apart so that every platform's
// tests run them. The enumerations carry Core Audio's own values (EDataFlow, ERole).
enum class Flow { Render = 0, Capture = 1, All = 2 };
enum class Role { Console = 0, Multimedia = 1, Communications = 2 };

// Whether a default-device notification moves the device that loopback capture follows: the
// default render (playback) device of the followed role. Capture devices are microphones.
bool defaultChangeMoves(Flow flow, Role role, Role followed);

// The device id that means "the default communications device" (a headset in a call).
inline const std::string kCommunicationsDevice = "@communications";
// The role whose default device capture follows for a chosen id.
Role followedRole(const std::string &chosenDevice);

// A chosen device is used only when it is there and active (DEVICE_STATE_ACTIVE): a Bluetooth
// headset that is off, or an unplugged USB device, is present but cannot play.
bool useChosenDevice(bool found, uint32_t deviceState);

// Whether a render endpoint plays, from its audio sessions (IAudioSessionManager2): it plays
// while a session is active, as a stream is on PulseAudio, whether or not its sound is loud
// this instant (an interviewer between sentences is silent, the call still plays). The program
// is the loudest active session's that names one (peak meters, 0 to 1), else the first named.
struct SessionReading {
    std::string program; // the process's file name; empty for the system's own sounds
    bool active = false; // AudioSessionStateActive
    float peak = 0.0f;
};
struct EndpointVerdict {
    bool playing = false;
    std::string program;
};
EndpointVerdict endpointPlaying(const std::vector<SessionReading> &sessions);

// The mix format's samples, from WAVEFORMATEX(TENSIBLE): the format tag, bits per sample
// (container), valid bits, and for the extensible tag whether the sub-format is float or PCM.
enum class Samples { Float32, Int16, Int24, Int32, Unsupported };
Samples samplesOf(uint16_t formatTag, uint16_t bitsPerSample, bool subFormatFloat,
                  bool subFormatPcm);
// Integer PCM to full-scale float, for the rest of the pipeline; `count` samples.
void toFloat(const uint8_t *data, size_t count, Samples samples, float *out);

// What a packet's flags mean: silent packets' bytes are undefined and must read as zeros; a
// discontinuity is a glitch worth a log line.
struct PacketFlags {
    bool silent = false;
    bool discontinuity = false;
};
PacketFlags packetFlags(uint32_t flags);

} // namespace Kelvane::Wasapi
