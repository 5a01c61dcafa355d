#include "WasapiDecisions.h"

#include <cstring>

namespace Kelvane::Wasapi {

namespace {

constexpr uint16_t kFormatPcm = 1;             // WAVE_FORMAT_PCM
constexpr uint16_t kFormatFloat = 3;           // WAVE_FORMAT_IEEE_FLOAT
constexpr uint16_t kFormatExtensible = 0xFFFE; // WAVE_FORMAT_EXTENSIBLE
constexpr uint32_t kDeviceStateActive = 1;     // DEVICE_STATE_ACTIVE
constexpr uint32_t kFlagDiscontinuity = 0x1;   // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY
constexpr uint32_t kFlagSilent = 0x2;          // AUDCLNT_BUFFERFLAGS_SILENT

} // namespace

bool defaultChangeMoves(Flow flow, Role role, Role followed) {
    return flow == Flow::Render && role == followed;
}

Role followedRole(const std::string &chosenDevice) {
    return chosenDevice == kCommunicationsDevice ? Role::Communications : Role::Console;
}

bool useChosenDevice(bool found, uint32_t deviceState) {
    return found && deviceState == kDeviceStateActive;
}

Samples samplesOf(uint16_t formatTag, uint16_t bitsPerSample, bool subFormatFloat,
                  bool subFormatPcm) {
    const bool isFloat =
        formatTag == kFormatFloat || (formatTag == kFormatExtensible && subFormatFloat);
    const bool isPcm = formatTag == kFormatPcm || (formatTag == kFormatExtensible && subFormatPcm);
    if (isFloat)
        return bitsPerSample == 32 ? Samples::Float32 : Samples::Unsupported;
    if (!isPcm)
        return Samples::Unsupported;
    switch (bitsPerSample) {
    case 16:
        return Samples::Int16;
    case 24:
        return Samples::Int24;
    case 32:
        return Samples::Int32;
    default:
        return Samples::Unsupported;
    }
}

void toFloat(const uint8_t *data, size_t count, Samples samples, float *out) {
    for (size_t i = 0; i < count; ++i) {
        switch (samples) {
        case Samples::Float32:
            std::memcpy(&out[i], data + 4 * i, 4);
            break;
        case Samples::Int16: {
            const auto value = int16_t(uint16_t(data[2 * i] | (data[2 * i + 1] << 8)));
            out[i] = float(value) / 32768.0f;
            break;
        }
        case Samples::Int24: {
            const uint8_t *p = data + 3 * i;
            // The top byte's sign fills the high bits.
            const auto value = int32_t(uint32_t(p[0] << 8 | p[1] << 16 | p[2] << 24)) >> 8;
            out[i] = float(value) / 8388608.0f;
            break;
        }
        case Samples::Int32: {
            const uint8_t *p = data + 4 * i;
            const auto value =
                int32_t(uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24));
            out[i] = float(double(value) / 2147483648.0);
            break;
        }
        case Samples::Unsupported:
            out[i] = 0.0f;
            break;
        }
    }
}

PacketFlags packetFlags(uint32_t flags) {
    return {(flags & kFlagSilent) != 0, (flags & kFlagDiscontinuity) != 0};
}

EndpointVerdict endpointPlaying(const std::vector<SessionReading> &sessions) {
    EndpointVerdict verdict;
    float loudest = -1.0f;
    for (const SessionReading &session : sessions) {
        if (!session.active)
            continue;
        verdict.playing = true;
        if (!session.program.empty() && session.peak > loudest) {
            loudest = session.peak;
            verdict.program = session.program;
        }
    }
    return verdict;
}

} // namespace Kelvane::Wasapi
