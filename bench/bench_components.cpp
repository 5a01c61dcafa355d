// The audio path's building blocks, the recognition frame codec and the chat stream handling.

#include "ASRClient.h"
#include "AsrFrameCodec.h"
#include "BenchSupport.h"
#include "EventStream.h"
#include "Resampler.h"
#include "VAD.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

std::vector<int16_t> tone(size_t samples, int channels) {
    std::vector<int16_t> out(samples * size_t(channels));
    for (size_t i = 0; i < samples; ++i)
        for (int c = 0; c < channels; ++c)
            out[i * size_t(channels) + size_t(c)] = int16_t(8000 * std::sin(double(i) * 0.07));
    return out;
}

void resample48kStereo(benchmark::State &state) {
    Kelvane::Resampler resampler;
    const auto input = tone(480, 2);
    std::vector<int16_t> output;
    for (auto _ : state) {
        resampler.configure(48000, 16000, 2);
        resampler.process(input.data(), input.size(), output);
        benchmark::DoNotOptimize(output.data());
    }
}
BENCHMARK(resample48kStereo);

void vadFrame(benchmark::State &state) {
    SilencedLog quiet;
    Kelvane::VAD vad;
    const auto frame = tone(160, 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(vad.process(frame.data(), frame.size()));
}
BENCHMARK(vadFrame);

void buildAudioFrame(benchmark::State &state) {
    SilencedLog quiet;
    const std::vector<char> pcm(9600, 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(Kelvane::AsrCodec::buildAudioFrame(pcm.data(), pcm.size(), false));
}
BENCHMARK(buildAudioFrame);

void decodeResultFrame(benchmark::State &state) {
    SilencedLog quiet;
    const QByteArray json =
        R"({"result":{"text":"你好。请问什么是多态？","utterances":[{"definite":true,)"
        R"("end_time":900,"start_time":0,"text":"你好。"},{"definite":false,"end_time":-1,)"
        R"("start_time":-1,"text":""}]}})";
    const QByteArray payload = Kelvane::AsrCodec::gzipCompress(json);
    QByteArray frame("\x11\x91\x11\x00\x00\x00\x00\x05", 8);
    const auto size = quint32(payload.size());
    for (int shift : {24, 16, 8, 0})
        frame.append(char((size >> shift) & 0xFF));
    frame.append(payload);
    for (auto _ : state)
        benchmark::DoNotOptimize(Kelvane::AsrCodec::decodeServerFrame(frame));
}
BENCHMARK(decodeResultFrame);

void gzipFullClientRequest(benchmark::State &state) {
    SilencedLog quiet;
    Kelvane::ASRClient client;
    const QByteArray json =
        R"({"audio":{"bits":16,"channel":1,"format":"pcm","rate":16000},"request":{"enable_ddc":true,"enable_itn":true,"enable_nonstream":false,"enable_punc":true,"model_name":"streaming","show_utterances":true},"user":{"uid":"cpp_user"}})";
    for (auto _ : state)
        benchmark::DoNotOptimize(Kelvane::AsrCodec::gzipCompress(json));
}
BENCHMARK(gzipFullClientRequest);

void chatRead1KB(benchmark::State &state) {
    SilencedLog quiet;
    QByteArray read;
    int n = 0;
    while (read.size() < 1024) {
        const QJsonObject delta{{"content", QStringLiteral("多态是面向对象%1").arg(n++)}};
        read +=
            "data: " +
            QJsonDocument(
                QJsonObject{{"choices", QJsonArray{QJsonObject{{"index", 0}, {"delta", delta}}}}})
                .toJson(QJsonDocument::Compact) +
            "\n\n";
    }
    read.truncate(1024); // ends inside a line, as reads do
    for (auto _ : state) {
        Kelvane::EventStreamBuffer buffer;
        int parts = 0;
        int number = 0;
        int fragments = 0;
        for (const QString &line : buffer.takeLines(read, parts)) {
            ++number;
            if (!line.isEmpty() && Kelvane::interpretEventLine(line, number, nullptr).kind ==
                                       Kelvane::EventLine::Fragment)
                ++fragments;
        }
        benchmark::DoNotOptimize(fragments);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * read.size());
}
BENCHMARK(chatRead1KB);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
