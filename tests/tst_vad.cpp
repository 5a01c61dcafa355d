#include "LogCapture.h"
#include "VAD.h"

#include <QtTest>

#include <cmath>
#include <vector>

using Kelvane::VAD;
using Kelvane::VadConfig;
using KelvaneTest::LogCapture;

namespace {

// A frame whose sign changes every `period` samples: zero-crossing rate about 1/period.
std::vector<int16_t> squareFrame(int16_t amplitude, int period, size_t count = 160) {
    std::vector<int16_t> frame(count);
    for (size_t i = 0; i < count; ++i)
        frame[i] = ((i / size_t(period)) % 2 == 0) ? amplitude : int16_t(-amplitude);
    return frame;
}

VadConfig controllerConfig() {
    VadConfig config;
    config.energyThreshold = 0.03f;
    config.minSpeechFrames = 5;
    config.minSilenceFrames = 80;
    return config;
}

} // namespace

class TestVad : public QObject {
    Q_OBJECT

private slots:
    void degenerateFramesAreNotSpeech() {
        VAD vad;
        VadConfig config;
        config.minSpeechFrames = 1;
        vad.setConfig(config);
        QVERIFY(!vad.process(nullptr, 160));
        const std::vector<int16_t> zeros(160, 0);
        QVERIFY(!vad.process(zeros.data(), 0));
        QVERIFY(!vad.process(zeros.data(), zeros.size()));
        const int16_t single = 30000;
        QVERIFY(!vad.process(&single, 1));       // loud, but no zero-crossing rate
        const auto buzz = squareFrame(20000, 1); // rate close to 1
        QVERIFY(!vad.process(buzz.data(), buzz.size()));
        const auto voice = squareFrame(20000, 8); // rate 1/8, inside the band
        QVERIFY(vad.process(voice.data(), voice.size()));
    }

    void debounceCounts() {
        LogCapture log;
        VAD vad;
        vad.setConfig(controllerConfig());
        QList<bool> changes;
        vad.setCallback([&](bool speaking) { changes.append(speaking); });
        const auto voice = squareFrame(8000, 8);
        const std::vector<int16_t> quiet(160, 0);
        for (int i = 0; i < 100; ++i) // a second of silence keeps the adaptive threshold low
            vad.process(quiet.data(), quiet.size());

        // 4 speech frames, a break, 4 more: never enough in a row.
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 4; ++i)
                QVERIFY(!vad.process(voice.data(), voice.size()));
            if (round == 0)
                vad.process(quiet.data(), quiet.size());
        }
        QVERIFY(changes.isEmpty());
        QVERIFY(vad.process(voice.data(), voice.size())); // fifth in a row
        QCOMPARE(changes, QList<bool>{true});

        for (int i = 0; i < 79; ++i)
            QVERIFY(vad.process(quiet.data(), quiet.size()));
        QVERIFY(!vad.process(quiet.data(), quiet.size())); // the 80th ends it
        QVERIFY(!vad.process(quiet.data(), quiet.size()));
        QCOMPARE(changes, (QList<bool>{true, false}));
        QCOMPARE(log.countOut("[VAD] Speech detected\n"), 1);
        QCOMPARE(log.countOut("[VAD] Speech ended\n"), 1);
    }

    void adaptiveThresholdFromTheTenthFrame() {
        // A loud first frame lifts the mean; it only counts once ten energies are held.
        VadConfig config;
        config.minSpeechFrames = 1;
        config.minSilenceFrames = 1;
        config.energyThreshold = 0.01f;
        VAD vad;
        vad.setConfig(config);
        const auto loud = squareFrame(32000, 8);  // energy ~0.98
        const auto medium = squareFrame(3277, 8); // energy 0.1
        QVERIFY(vad.process(loud.data(), loud.size()));
        for (int i = 2; i <= 9; ++i)
            QVERIFY2(vad.process(medium.data(), medium.size()), qPrintable(QString::number(i)));
        // Tenth frame: mean (0.98 + 9 * 0.1) / 10 = 0.188, times 1.5 > 0.1.
        QVERIFY(!vad.process(medium.data(), medium.size()));
    }

    void steadySignalCountsForSixtySixFrames() {
        VadConfig config;
        config.minSpeechFrames = 1;
        config.minSilenceFrames = 1;
        VAD vad;
        vad.setConfig(config);
        const std::vector<int16_t> silence(160, 0);
        for (int i = 0; i < 100; ++i)
            vad.process(silence.data(), silence.size());
        const auto steady = squareFrame(3277, 8);
        int speechFrames = 0;
        for (int k = 1; k <= 100; ++k)
            if (vad.process(steady.data(), steady.size()))
                speechFrames = k;
        QCOMPARE(speechFrames, 66);
    }
};

QTEST_GUILESS_MAIN(TestVad)
#include "tst_vad.moc"
