#include "LoudnessGate.h"
#include "SpeechFrames.h"

#include <QtTest>

#include <cmath>
#include <random>
#include <vector>

using Kelvane::LoudnessGate;
using Kelvane::SpeechFrames;

namespace {

constexpr int kRate = 48000;
constexpr int kBufferFrames = kRate / 100;
enum class Bed { Silence, Hum, Noise, Music };

// A spoken-like interview at 48 kHz mono over a background bed: after 3 s of the bed alone, a
// question of 12 syllables and a slow one of 20, each followed by 2.5 s of the bed. A syllable
// is a harmonic voice (140 Hz and three overtones, a rounded envelope); the gaps are short
// inside words and longer between them.
struct Interview {
    std::vector<float> samples;
    std::vector<int> spokenEnds; // when each question's last sound ended (ms)

    Interview(double peakDbfs, Bed bed, double bedDbfs) {
        const double peak = std::pow(10.0, peakDbfs / 20.0) / 1.9; // the harmonics peak near 1.9
        const double level = std::pow(10.0, bedDbfs / 20.0);
        std::mt19937 random{7};
        std::uniform_real_distribution<double> uniform{-1.0, 1.0};
        const auto add = [&](int ms, bool voiced) {
            const int count = ms * kRate / 1000;
            for (int i = 0; i < count; ++i) {
                const double t = double(samples.size()) / kRate;
                double sample = 0.0;
                for (int h = 1; voiced && h <= 4; ++h)
                    sample +=
                        peak * std::sin(M_PI * i / count) * std::sin(2 * M_PI * 140 * h * t) / h;
                if (bed == Bed::Hum)
                    sample += level * std::sqrt(2.0) * std::sin(2.0 * M_PI * 50.0 * t);
                else if (bed == Bed::Noise)
                    sample += level * std::sqrt(3.0) * uniform(random);
                else if (bed == Bed::Music) // chords that swell and fade by about 6 dB
                    sample += level * (1.0 + 0.5 * std::sin(2.0 * M_PI * 0.7 * t)) *
                              (std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * 277.2 * t) +
                               std::sin(2 * M_PI * 329.6 * t)) /
                              1.3;
                samples.push_back(float(sample));
            }
        };
        add(3000, false);
        for (int syllables : {12, 20}) {
            for (int s = 0; s < syllables; ++s) {
                add(180, true);
                if (s == syllables - 1)
                    spokenEnds.push_back(int(samples.size() * 1000 / kRate));
                add(s % 3 == 2 ? 160 : 60, false);
            }
            add(2500, false);
        }
    }
};

} // namespace

Q_DECLARE_METATYPE(Bed)

class TestLoudnessGate : public QObject {
    Q_OBJECT

private slots:
    // Two questions at a playback level over a background: each ends once, a threshold
    // (1,000 ms) after its last sound, and the background alone never holds a question open.
    void questionsAtEveryLevel_data() {
        QTest::addColumn<double>("peakDbfs");
        QTest::addColumn<Bed>("bed");
        QTest::addColumn<double>("bedDbfs");
        for (double peak : {0.0, -6.0, -14.0, -20.0, -30.0}) {
            QTest::addRow("%g dBFS, digital silence", peak) << peak << Bed::Silence << -200.0;
            QTest::addRow("%g dBFS, quiet noise", peak) << peak << Bed::Noise << -60.0;
            QTest::addRow("%g dBFS, hum", peak) << peak << Bed::Hum << -55.0;
            if (peak > -30.0)
                QTest::addRow("%g dBFS, music bed", peak) << peak << Bed::Music << -45.0;
        }
    }
    void questionsAtEveryLevel() {
        QFETCH(double, peakDbfs);
        QFETCH(Bed, bed);
        QFETCH(double, bedDbfs);
        const Interview interview(peakDbfs, bed, bedDbfs);
        SpeechFrames frames;
        LoudnessGate gate;
        const std::vector<float> &signal = interview.samples;
        std::vector<int> endedAt; // ms at which 100 silent buffers after sound completed
        int silent = 0;
        bool heard = false;
        for (size_t at = 0; at + kBufferFrames <= signal.size(); at += kBufferFrames) {
            const auto frame = frames.convert(signal.data() + at, kBufferFrames, kRate, 1);
            if (gate.isSound(frame.energy)) {
                silent = 0;
                heard = true;
            } else if (++silent == 100 && heard && at > size_t(kRate) * 3) {
                // (before the first question the recogniser has no text: nothing is asked)
                endedAt.push_back(int((at + kBufferFrames) * 1000 / kRate));
                heard = false;
            }
        }
        QCOMPARE(endedAt.size(), interview.spokenEnds.size());
        for (size_t q = 0; q < endedAt.size(); ++q) {
            // The end of the last syllable is its quiet tail: up to about 100 ms of it may
            // sound like the background.
            const int late = endedAt[q] - interview.spokenEnds[q];
            QVERIFY2(late >= 880 && late <= 1060, qPrintable(QString::number(late)));
        }
    }

    // Loud by any measure, whatever was heard before; and never anything under -55 dBFS.
    void limits() {
        LoudnessGate loud;
        LoudnessGate quiet;
        for (int i = 0; i < 500; ++i)
            QVERIFY(loud.isSound(30.0) && !quiet.isSound(0.0));
        QVERIFY(loud.isSound(10.5)); // a long loud passage never lifts the floor past the limit
        QVERIFY(!quiet.isSound(0.15) && quiet.isSound(0.2)); // -56.5 and -54 dBFS
    }
};

QTEST_APPLESS_MAIN(TestLoudnessGate)
#include "tst_loudnessgate.moc"
