#pragma once

#include "AudioPlatform.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace KelvaneTest {

// A device layer that plays back a script: failure codes at chosen steps, a chosen mix format,
// and packets of float samples queued by the test (from any thread).
class ScriptedAudioPlatform : public Kelvane::AudioPlatform {
public:
    enum class Step {
        InitializeCom,
        CreateEnumerator,
        EndpointMultimedia,
        EndpointConsole,
        FriendlyName,
        ActivateClient,
        MixFormat,
        InitializeLoopback,
        CaptureService,
        Start,
        Stop,
        NextPacketSize,
        GetBuffer,
        ReleaseBuffer,
    };

    // Shared between the test and the platform object, which AudioCapture owns.
    struct Script {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<Step, Kelvane::PlatformResult> failures;
        // A failure strikes once the given number of calls of that step succeeded, for the
        // given number of calls (-1: from then on).
        std::map<Step, int> failAfterCalls;
        std::map<Step, int> failTimes;
        std::map<Step, int> calls;
        std::string deviceName = "Scripted Speakers";
        Kelvane::MixFormat format{48000, 2, 32, 8};
        std::deque<std::vector<float>> packets; // each entry one packet (interleaved floats)
        int nullDataPackets = 0;                // next packets come with a null pointer
        std::vector<uint32_t> released;
        bool comUninitialized = false;
        bool allReleased = false;

        void queuePacket(std::vector<float> samples) {
            std::lock_guard<std::mutex> lock(mutex);
            packets.push_back(std::move(samples));
        }
        int callCount(Step step) {
            std::lock_guard<std::mutex> lock(mutex);
            return calls[step];
        }
        void fail(Step step, Kelvane::PlatformResult code, int afterCalls = 0, int times = -1) {
            std::lock_guard<std::mutex> lock(mutex);
            failures[step] = code;
            failAfterCalls[step] = afterCalls;
            failTimes[step] = times;
        }
        size_t queued() {
            std::lock_guard<std::mutex> lock(mutex);
            return packets.size();
        }
    };

    // 10 ms of 48 kHz stereo speech-like sound, well above the silence limit.
    static std::vector<float> loudPacket() {
        std::vector<float> samples(960);
        for (size_t i = 0; i < 480; ++i)
            samples[2 * i] = samples[2 * i + 1] = float(0.4 * std::sin(double(i) * 0.05));
        return samples;
    }

    explicit ScriptedAudioPlatform(std::shared_ptr<Script> script)
        : script(std::move(script)) {}

    std::string name() const override { return "Scripted"; }

    Kelvane::PlatformResult initializeCom() override { return step(Step::InitializeCom); }
    void uninitializeCom() override {
        std::lock_guard<std::mutex> lock(script->mutex);
        script->comUninitialized = true;
    }
    Kelvane::PlatformResult createEnumerator() override { return step(Step::CreateEnumerator); }
    Kelvane::PlatformResult getDefaultEndpoint(Kelvane::DeviceRole role) override {
        return step(role == Kelvane::DeviceRole::Multimedia ? Step::EndpointMultimedia
                                                            : Step::EndpointConsole);
    }
    Kelvane::PlatformResult getFriendlyName(std::string &name) override {
        const auto result = step(Step::FriendlyName);
        if (!Kelvane::platformFailed(result)) {
            std::lock_guard<std::mutex> lock(script->mutex);
            name = script->deviceName;
        }
        return result;
    }
    Kelvane::PlatformResult activateClient() override { return step(Step::ActivateClient); }
    Kelvane::PlatformResult getMixFormat(Kelvane::MixFormat &format) override {
        const auto result = step(Step::MixFormat);
        std::lock_guard<std::mutex> lock(script->mutex);
        format = script->format;
        return result;
    }
    Kelvane::PlatformResult initializeLoopback(const Kelvane::MixFormat &) override {
        return step(Step::InitializeLoopback);
    }
    Kelvane::PlatformResult getCaptureService() override { return step(Step::CaptureService); }
    Kelvane::PlatformResult start() override { return step(Step::Start); }
    Kelvane::PlatformResult stop() override { return step(Step::Stop); }

    Kelvane::PlatformResult nextPacketSize(uint32_t &frames) override {
        const auto result = step(Step::NextPacketSize);
        std::lock_guard<std::mutex> lock(script->mutex);
        frames = script->packets.empty()
                     ? 0
                     : static_cast<uint32_t>(script->packets.front().size() /
                                             std::max<uint32_t>(1, script->format.channels));
        if (frames == 0 && !script->packets.empty())
            frames = 1; // a zero-frame packet is still "waiting"
        return result;
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
        frames =
            static_cast<uint32_t>(current.size() / std::max<uint32_t>(1, script->format.channels));
        if (script->nullDataPackets > 0) {
            --script->nullDataPackets;
        } else {
            data = reinterpret_cast<const uint8_t *>(current.data());
        }
        return result;
    }
    Kelvane::PlatformResult releaseBuffer(uint32_t frames) override {
        const auto result = step(Step::ReleaseBuffer);
        std::lock_guard<std::mutex> lock(script->mutex);
        if (script->released.size() < 10000) // enough for any check; bounded for long runs
            script->released.push_back(frames);
        return result;
    }
    void releaseAll() override {
        std::lock_guard<std::mutex> lock(script->mutex);
        script->allReleased = true;
    }

private:
    Kelvane::PlatformResult step(Step which) {
        std::lock_guard<std::mutex> lock(script->mutex);
        const int done = script->calls[which]++;
        script->changed.notify_all();
        const auto failure = script->failures.find(which);
        if (failure == script->failures.end())
            return Kelvane::kPlatformOk;
        const int from = script->failAfterCalls[which];
        const int times = script->failTimes.count(which) ? script->failTimes[which] : -1;
        if (done >= from && (times < 0 || done < from + times))
            return failure->second;
        return Kelvane::kPlatformOk;
    }

    std::shared_ptr<Script> script;
    std::vector<float> current;
};

} // namespace KelvaneTest
