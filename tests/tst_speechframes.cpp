#include "SpeechFrames.h"
#include "TestSupport.h"

#include <QtTest>

#include <cmath>
#include <limits>

using Kelvane::SpeechFrames;

namespace {
// A constant frame repeated for 10 ms, and what every 16 kHz sample of it must read.
struct Format {
    int rate, channels;
    QList<float> frame;
    int samples16k, value;
};
} // namespace
Q_DECLARE_METATYPE(Format)

class TestSpeechFrames : public QObject {
    Q_OBJECT

private slots:
    // Full scale clamps, truncates toward zero; NaN is silence.
    void sampleConversion() {
        const float inf = std::numeric_limits<float>::infinity();
        for (const auto &[input, expected] : {std::pair{1.0f, 32767},
                                              {-1.0f, -32768},
                                              {3.5f, 32767},
                                              {-inf, -32768},
                                              {std::numeric_limits<float>::quiet_NaN(), 0},
                                              {0.99999f * (100.9f / 32768.0f), 100},
                                              {-(100.9f / 32768.0f), -100}})
            QCOMPARE(int(SpeechFrames::toPcm16(input)), expected);
    }

    // A constant signal stays constant through rate conversion and down-mixing, so the output
    // length and value show what each format does.
    void formats_data() {
        KelvaneTest::addRows<Format>({
            {"16 kHz mono", {16000, 1, {0.25f}, 160, 8192}},
            {"48 kHz stereo", {48000, 2, {0.5f, 0.25f}, 160, 12288}},
            {"44.1 kHz stereo", {44100, 2, {0.5f, 0.5f}, 160, 16384}},
            {"48 kHz 5.1", {48000, 6, {0, 0, 0.6f, 0, 0, 0}, 160, 3276}},
            {"48 kHz 7.1", {48000, 8, QList<float>(8, 0.1f), 160, 3276}},
            {"stereo, opposite channels", {48000, 2, {-0.5f, 0.5f}, 160, 0}},
        });
    }
    void formats() {
        QFETCH(Format, row);
        std::vector<float> buffer;
        for (int i = 0; i < row.rate / 100; ++i)
            buffer.insert(buffer.end(), row.frame.begin(), row.frame.end());
        SpeechFrames frames;
        const auto result = frames.convert(buffer.data(), buffer.size(), row.rate, row.channels);
        QCOMPARE(int(result.samples.size()), row.samples16k);
        QCOMPARE(int(result.samples.front()), row.value);
        QCOMPARE(int(result.samples.back()), row.value);
    }

    // Loudness: RMS energy of the 16-bit samples in percent of full scale; a buffer too short
    // for one 16 kHz sample measures nothing.
    void loudness() {
        for (const auto &[amplitude, energy] :
             {std::pair{0.0f, 0.0}, {float(3277.0 / 32768.0), 10.0006}, {0.4f, 40.0}}) {
            SpeechFrames frames;
            std::vector<float> buffer(160, amplitude);
            const auto result = frames.convert(buffer.data(), buffer.size(), 16000, 1);
            QVERIFY(result.measured);
            QVERIFY2(std::abs(result.energy - energy) < 0.001,
                     qPrintable(QString::number(result.energy)));
        }
        const float two[] = {0.9f, 0.9f};
        SpeechFrames frames;
        const auto result = frames.convert(two, 2, 48000, 2);
        QVERIFY(result.samples.empty() && !result.measured);
    }
};

QTEST_APPLESS_MAIN(TestSpeechFrames)
#include "tst_speechframes.moc"
