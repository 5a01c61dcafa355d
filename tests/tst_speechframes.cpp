#include "SpeechFrames.h"

#include <QtTest>

#include <cmath>
#include <limits>

using Kelvane::SpeechFrames;

class TestSpeechFrames : public QObject {
    Q_OBJECT

private slots:
    void sampleConversion_data() {
        QTest::addColumn<float>("input");
        QTest::addColumn<int>("expected");
        QTest::newRow("full scale up") << 1.0f << 32767;
        QTest::newRow("full scale down") << -1.0f << -32768;
        QTest::newRow("beyond full scale") << 3.5f << 32767;
        QTest::newRow("infinity") << -std::numeric_limits<float>::infinity() << -32768;
        QTest::newRow("NaN is silence") << std::numeric_limits<float>::quiet_NaN() << 0;
        QTest::newRow("truncated toward zero (+)") << 0.99999f * (100.9f / 32768.0f) << 100;
        QTest::newRow("truncated toward zero (-)") << -(100.9f / 32768.0f) << -100;
    }
    void sampleConversion() {
        QFETCH(float, input);
        QFETCH(int, expected);
        QCOMPARE(int(SpeechFrames::toPcm16(input)), expected);
    }

    // A constant signal stays constant through rate conversion and down-mixing, so the output
    // length and value show what each format does.
    void formats_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QList<float>>("frame"); // one frame, repeated for 10 ms
        QTest::addColumn<int>("samples16k");
        QTest::addColumn<int>("value");
        QTest::newRow("16 kHz mono") << 16000 << 1 << QList<float>{0.25f} << 160 << 8192;
        QTest::newRow("48 kHz stereo") << 48000 << 2 << QList<float>{0.5f, 0.25f} << 160 << 12288;
        QTest::newRow("44.1 kHz stereo") << 44100 << 2 << QList<float>{0.5f, 0.5f} << 160 << 16384;
        QTest::newRow("48 kHz 5.1")
            << 48000 << 6 << QList<float>{0, 0, 0.6f, 0, 0, 0} << 160 << 3276;
        QTest::newRow("48 kHz 7.1")
            << 48000 << 8 << QList<float>{0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f} << 160
            << 3276;
        QTest::newRow("stereo, opposite channels")
            << 48000 << 2 << QList<float>{-0.5f, 0.5f} << 160 << 0;
    }
    void formats() {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(QList<float>, frame);
        QFETCH(int, samples16k);
        QFETCH(int, value);
        std::vector<float> buffer;
        for (int i = 0; i < rate / 100; ++i)
            buffer.insert(buffer.end(), frame.begin(), frame.end());
        SpeechFrames frames;
        const auto result = frames.convert(buffer.data(), buffer.size(), rate, channels);
        QCOMPARE(int(result.samples.size()), samples16k);
        QCOMPARE(int(result.samples.front()), value);
        QCOMPARE(int(result.samples.back()), value);
    }

    // Loudness: RMS energy of the 16-bit samples in percent of full scale.
    void loudness_data() {
        QTest::addColumn<float>("amplitude");
        QTest::addColumn<double>("energy");
        QTest::newRow("silence") << 0.0f << 0.0;
        QTest::newRow("a tenth") << float(3277.0 / 32768.0) << 10.0006;
        QTest::newRow("speech") << 0.4f << 40.0;
    }
    void loudness() {
        QFETCH(float, amplitude);
        QFETCH(double, energy);
        std::vector<float> buffer(160, amplitude);
        SpeechFrames frames;
        const auto result = frames.convert(buffer.data(), buffer.size(), 16000, 1);
        QVERIFY(result.measured);
        QVERIFY2(std::abs(result.energy - energy) < 0.001,
                 qPrintable(QString::number(result.energy)));
    }

    void bufferTooShortForOneSample() {
        const float two[] = {0.9f, 0.9f};
        SpeechFrames frames;
        const auto result = frames.convert(two, 2, 48000, 2);
        QVERIFY(result.samples.empty());
        QVERIFY(!result.measured);
    }
};

QTEST_APPLESS_MAIN(TestSpeechFrames)
#include "tst_speechframes.moc"
