#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
