// The controller's handling of one 10 ms capture buffer of 48 kHz stereo float: conversion,
// resampling, down-mix, energy, silence count, batching for the recogniser, detector.

#include "Application.h"
#include "BenchSupport.h"
#include "QuestionDetector.h"
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

// A long interview: 300 utterances of 40 characters (12,000 in all) with their words, 100
// questions asked among them; the recogniser reports the whole session, its last words changed.
Kelvane::RecognitionResult longSession(int utterances, int round) {
    Kelvane::RecognitionResult result;
    result.session = 1;
    for (int i = 0; i < utterances; ++i) {
        Kelvane::Utterance utterance;
        utterance.startMs = i * 4000;
        utterance.endMs = utterance.startMs + 3000;
        utterance.definite = i + 1 < utterances;
        for (int c = 0; c < 40; ++c) {
            const QString word(
                QChar(0x4e00 + (i * 40 + c + (i + 1 == utterances ? round : 0)) % 2000));
            utterance.text += word;
            utterance.words.push_back(
                {word, utterance.startMs + c * 75, utterance.startMs + c * 75 + 70});
        }
        result.text += utterance.text;
        result.utterances.push_back(std::move(utterance));
    }
    return result;
}

// The question detector's part of one result, all of it under the lock the capture thread
// takes every 10 ms.
void detectorResult12k(benchmark::State &state) {
    SilencedLog quiet;
    Kelvane::QuestionDetector detector;
    detector.setThresholdBuffers(1);
    for (int i = 1; i <= 300; ++i) {
        detector.onResult(longSession(i, 0));
        if (i % 3 == 0) // asked at the pause after every third utterance
            detector.onBuffer(false, 1, (i - 1) * 4000 + 3500);
    }
    std::vector<Kelvane::RecognitionResult> results;
    for (int round = 0; round < 4; ++round)
        results.push_back(longSession(300, round));
    size_t next = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(detector.onResult(results[++next % results.size()]));
    state.SetLabel("12,000 characters, 100 questions");
}
BENCHMARK(detectorResult12k)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
