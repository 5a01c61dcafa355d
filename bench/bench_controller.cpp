// The controller's handling of one 10 ms capture buffer of 48 kHz stereo float: conversion,
// resampling, down-mix, energy, silence count, batching for the recogniser, detector.

#include "Application.h"
#include "BenchSupport.h"
#include "ScriptedAudioPlatform.h"
#include "StandinAsrServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;
using KelvaneTest::ScriptedAudioPlatform;

// Notes when the capture loop takes each packet and when it hands it back: between the two
// runs the controller's handler.
class TimedPlatform : public ScriptedAudioPlatform {
public:
    using ScriptedAudioPlatform::ScriptedAudioPlatform;

    Kelvane::PlatformResult getBuffer(const uint8_t *&data, uint32_t &frames) override {
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(timesMutex);
            if (!batchStarted) {
                batchStarted = true;
                first = now;
            }
        }
        return ScriptedAudioPlatform::getBuffer(data, frames);
    }
    Kelvane::PlatformResult releaseBuffer(uint32_t frames) override {
        const auto result = ScriptedAudioPlatform::releaseBuffer(frames);
        std::lock_guard<std::mutex> lock(timesMutex);
        last = Clock::now();
        ++released;
        return result;
    }

    void startBatch() {
        std::lock_guard<std::mutex> lock(timesMutex);
        batchStarted = false;
        released = 0;
    }
    int releasedCount() {
        std::lock_guard<std::mutex> lock(timesMutex);
        return released;
    }
    double batchSeconds() {
        std::lock_guard<std::mutex> lock(timesMutex);
        return std::chrono::duration<double>(last - first).count();
    }

private:
    std::mutex timesMutex;
    bool batchStarted = false;
    int released = 0;
    Clock::time_point first;
    Clock::time_point last;
};

void controllerAudioBuffer(benchmark::State &state) {
    SilencedLog quiet;
    StandinAsrServer::Options options;
    options.quiet = true;
    StandinAsrServer asrServer(options);
    asrServer.keepAudio = false;
    asrServer.listen();
    qputenv("KELVANE_ASR_URL", asrServer.url().toUtf8());
    qputenv("KELVANE_LLM_URL", "http://127.0.0.1:9/v1/chat/completions");

    auto script = std::make_shared<ScriptedAudioPlatform::Script>();
    TimedPlatform *platform = nullptr;
    Kelvane::Application app([&]() {
        auto made = std::make_unique<TimedPlatform>(script);
        platform = made.get();
        return made;
    });
    app.initialize();
    app.startListening();
    QElapsedTimer wait;
    wait.start();
    while (asrServer.audioFrames == 0 && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    // Speech-like sound: loud enough to count as sound, so the silence count keeps resetting.
    std::vector<float> buffer(960);
    for (size_t i = 0; i < 480; ++i)
        buffer[2 * i] = buffer[2 * i + 1] = float(0.3 * std::sin(double(i) * 0.07));

    constexpr int kBatch = 100;
    for (auto _ : state) {
        platform->startBatch();
        for (int i = 0; i < kBatch; ++i)
            script->queuePacket(buffer);
        while (platform->releasedCount() < kBatch) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            QThread::usleep(200);
        }
        state.SetIterationTime(platform->batchSeconds() / kBatch);
    }
    app.stopListening();
    state.SetLabel("per 10 ms buffer");
}
BENCHMARK(controllerAudioBuffer)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
