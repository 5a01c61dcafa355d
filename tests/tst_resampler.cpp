#include "Resampler.h"

#include <QtTest>

#include <vector>

using Kelvane::Resampler;

namespace {

std::vector<int16_t> ramp(int frames, int channels, int step = 1) {
    std::vector<int16_t> samples;
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c)
            samples.push_back(int16_t(f * step + c * 1000));
    return samples;
}

std::vector<int16_t> convert(int inRate, int outRate, int channels,
                             const std::vector<int16_t> &input) {
    Resampler resampler;
    resampler.configure(inRate, outRate, channels);
    std::vector<int16_t> output{42, 42, 42}; // stale content must be replaced
    resampler.process(input.data(), input.size(), output);
    return output;
}

} // namespace

class TestResampler : public QObject {
    Q_OBJECT

private slots:
    void from48kTakesEveryThirdFrame() {
        const auto input = ramp(480, 2);
        const auto output = convert(48000, 16000, 2, input);
        QCOMPARE(output.size(), size_t(320));
        for (size_t i = 0; i < 160; ++i) {
            QCOMPARE(output[2 * i], input[2 * (3 * i)]);
            QCOMPARE(output[2 * i + 1], input[2 * (3 * i) + 1]);
        }
    }

    void from44k1Interpolates() {
        QCOMPARE(convert(44100, 16000, 1, ramp(441, 1)).size(), size_t(160));
        const auto input = ramp(480, 1, 50);
        const auto output = convert(44100, 16000, 1, input);
        QCOMPARE(output.size(), size_t(174));
        // Frame 1 sits at 2.75625: between input frames 2 (100) and 3 (150).
        QCOMPARE(output[1], int16_t(137));
        // Frame 173 sits at 476.83125.
        QCOMPARE(output.back(), int16_t(23841));
    }

    void truncatesTowardZero() {
        // Doubling the rate puts every other output frame halfway between two inputs.
        const auto outUp = convert(16000, 32000, 1, {100, 101});
        QCOMPARE(outUp, (std::vector<int16_t>{100, 100, 101, 101})); // the last frame repeats
        const auto outDown = convert(16000, 32000, 1, {-100, -101});
        QCOMPARE(outDown[1], int16_t(-100));
    }

    void equalRatesCopyEverything() {
        const std::vector<int16_t> input{1, 2, 3, 4, 5}; // a trailing partial stereo frame
        QCOMPARE(convert(16000, 16000, 2, input), input);
    }

    void degenerateInput() {
        QVERIFY(convert(48000, 16000, 2, {7}).empty());     // no whole frame
        QVERIFY(convert(0, 16000, 1, ramp(10, 1)).empty()); // no input rate
        QVERIFY(convert(48000, 16000, 0, ramp(10, 1)).empty());
        Resampler resampler;
        resampler.configure(48000, 16000, 1);
        std::vector<int16_t> output{1};
        resampler.process(nullptr, 10, output);
        QVERIFY(output.empty());
    }

    void channelsStayApartAndBlocksAreIndependent() {
        std::vector<int16_t> input;
        for (int f = 0; f < 6; ++f) {
            input.push_back(int16_t(f * 10));
            input.push_back(int16_t(-f * 10));
        }
        const auto output = convert(24000, 16000, 2, input);
        QCOMPARE(output.size(), size_t(8));
        // Frame 1 at position 1.5: halfway between 10 and 20, and -10 and -20.
        QCOMPARE(output[2], int16_t(15));
        QCOMPARE(output[3], int16_t(-15));
        // Converting twice gives the same: nothing carries from one block to the next.
        Resampler resampler;
        resampler.configure(24000, 16000, 2);
        std::vector<int16_t> first, second;
        resampler.process(input.data(), input.size(), first);
        resampler.process(input.data(), input.size(), second);
        QCOMPARE(first, second);
    }
};

QTEST_GUILESS_MAIN(TestResampler)
#include "tst_resampler.moc"
