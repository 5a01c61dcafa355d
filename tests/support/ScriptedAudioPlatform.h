#pragma once

#include "AudioPlatform.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace KelvaneTest {

// A device layer that plays a script: failure codes at chosen steps, a chosen mix format, and
// packets of float samples queued by the test (from any thread).
class ScriptedAudioPlatform : public Kelvane::AudioPlatform {
public:
    enum class Step {
        InitializeCom,
        CreateEnumerator,
        EndpointMultimedia,
        EndpointConsole,
        ActivateClient,
        MixFormat,
        InitializeLoopback,
        CaptureService,
        Start,
        NextPacketSize,
        GetBuffer
    };

    // Shared between the test and the platform object, which AudioCapture owns.
    struct Script {
        std::mutex mutex;
        std::map<Step, Kelvane::PlatformResult> failures; // from the given call on
        std::map<Step, int> failFromCall;
        std::map<Step, int> calls;
        Kelvane::MixFormat format{48000, 2, 32, 8};
        std::deque<std::vector<float>> packets; // interleaved floats, one entry per packet
        std::atomic<bool> allReleased{false};
        std::atomic<bool> defaultChanged{false}; // the default device became another one
        std::atomic<int> serverRestarts{0}; // a device layer made before one can no longer start

        void queuePacket(std::vector<float> samples, int times = 1) {
            std::lock_guard<std::mutex> lock(mutex);
            for (int i = 0; i < times; ++i)
                packets.push_back(samples);
        }
        void fail(Step step, Kelvane::PlatformResult code, int fromCall = 0) {
            std::lock_guard<std::mutex> lock(mutex);
            failures[step] = code;
            failFromCall[step] = fromCall;
        }
        int callCount(Step step) {
            const std::lock_guard<std::mutex> lock(mutex);
            return calls[step];
        }
    };

    // 10 ms of 48 kHz stereo speech-like sound, well above the silence limit.
    static std::vector<float> loudPacket() {
        std::vector<float> samples(960);
        for (size_t i = 0; i < 480; ++i)
            samples[2 * i] = samples[2 * i + 1] = float(0.4 * std::sin(double(i) * 0.05));
        return samples;
    }

    explicit ScriptedAudioPlatform(std::shared_ptr<Script> played)
        : script(std::move(played))
        , madeAfterRestart(script->serverRestarts) {}

    std::string name() const override { return "Scripted"; }
    Kelvane::PlatformResult initializeCom() override { return step(Step::InitializeCom); }
    void uninitializeCom() override {}
    Kelvane::PlatformResult createEnumerator() override { return step(Step::CreateEnumerator); }
    Kelvane::PlatformResult getDefaultEndpoint(Kelvane::DeviceRole role) override {
        script->defaultChanged = false; // opened on today's default
        return step(role == Kelvane::DeviceRole::Multimedia ? Step::EndpointMultimedia
                                                            : Step::EndpointConsole);
    }
    Kelvane::PlatformResult getFriendlyName(std::string &name) override {
        name = "Scripted Speakers";
        return Kelvane::kPlatformOk;
    }
    Kelvane::PlatformResult activateClient() override { return step(Step::ActivateClient); }
    Kelvane::PlatformResult getMixFormat(Kelvane::MixFormat &format) override {
        locked([&] { format = script->format; });
        return step(Step::MixFormat);
    }
    Kelvane::PlatformResult initializeLoopback(const Kelvane::MixFormat &) override {
        return step(Step::InitializeLoopback);
    }
    Kelvane::PlatformResult getCaptureService() override { return step(Step::CaptureService); }
    Kelvane::PlatformResult start() override {
        const bool stale = madeAfterRestart != script->serverRestarts;
        const auto result = step(Step::Start);
        return stale ? Kelvane::PlatformResult(0x8a55000fu) : result;
    }
    Kelvane::PlatformResult stop() override { return Kelvane::kPlatformOk; }

    Kelvane::PlatformResult nextPacketSize(uint32_t &frames) override {
        locked([&] { frames = script->packets.empty() ? 0 : framesOf(script->packets.front()); });
        return step(Step::NextPacketSize);
    }
    Kelvane::PlatformResult getBuffer(const uint8_t *&data, uint32_t &frames) override {
        const auto result = step(Step::GetBuffer);
        std::lock_guard<std::mutex> lock(script->mutex);
        data = nullptr;
        frames = 0;
        if (Kelvane::platformFailed(result) || script->packets.empty())
            return result;
        current = std::move(script->packets.front());
        script->packets.pop_front();
        frames = framesOf(current);
        data = reinterpret_cast<const uint8_t *>(current.data());
        return result;
    }
    Kelvane::PlatformResult releaseBuffer(uint32_t) override { return Kelvane::kPlatformOk; }
    void releaseAll() override { script->allReleased = true; }
    bool defaultDeviceChanged() override { return script->defaultChanged; }

private:
    template <typename F> void locked(F f) {
        std::lock_guard<std::mutex> lock(script->mutex);
        f();
    }
    uint32_t framesOf(const std::vector<float> &packet) const {
        return uint32_t(packet.size() / std::max<uint32_t>(1, script->format.channels));
    }
    Kelvane::PlatformResult step(Step which) {
        std::lock_guard<std::mutex> lock(script->mutex);
        const int done = script->calls[which]++;
        const auto failure = script->failures.find(which);
        if (failure != script->failures.end() && done >= script->failFromCall[which])
            return failure->second;
        return Kelvane::kPlatformOk;
    }

    std::shared_ptr<Script> script;
    int madeAfterRestart;
    std::vector<float> current;
};

} // namespace KelvaneTest
