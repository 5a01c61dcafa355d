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

// A spoken-like signal at 48 kHz mono: syllables of a harmonic voice (140 Hz and three
// overtones, a rounded envelope) with short gaps inside words and longer ones between them,
// over a background bed. Questions are separated by pauses of the bed alone.
class Interview {
public:
    enum class Bed { Silence, Hum, Noise, Music };

    Interview(double peakDbfs, Bed bed, double bedDbfs)
        : peak(std::pow(10.0, peakDbfs / 20.0))
        , bedKind(bed)
        , bedLevel(std::pow(10.0, bedDbfs / 20.0)) {}

    void pause(int ms) { addSamples(ms, false); }
    // A question of this many syllables; returns when its last sound ends (ms).
    int question(int syllables) {
        for (int s = 0; s < syllables; ++s) {
            addSamples(180, true);
            addSamples(s % 3 == 2 ? 160 : 60, false);
        }
        return lastSpeechEndMs;
    }
    const std::vector<float> &samples() const { return signal; }

private:
    void addSamples(int ms, bool voiced) {
        const int count = ms * kRate / 1000;
        for (int i = 0; i < count; ++i) {
            const double t = double(signal.size()) / kRate;
            double voice = 0.0;
            if (voiced) {
                const double envelope = std::sin(M_PI * double(i) / count);
                for (int h = 1; h <= 4; ++h)
                    voice += std::sin(2.0 * M_PI * 140.0 * h * t) / h;
                voice *= peak * envelope / 1.9; // the harmonics' sum peaks at about 1.9
            }
            signal.push_back(float(voice + bedSample(t)));
        }
        if (voiced)
            lastSpeechEndMs = int(signal.size() * 1000 / kRate);
    }
    double bedSample(double t) {
        switch (bedKind) {
        case Bed::Silence:
            return 0.0;
        case Bed::Hum:
            return bedLevel * std::sqrt(2.0) * std::sin(2.0 * M_PI * 50.0 * t);
        case Bed::Noise:
            return bedLevel * std::sqrt(3.0) * (uniform(random) * 2.0 - 1.0);
        case Bed::Music: // chords that swell and fade by about 6 dB
            return bedLevel * (1.0 + 0.5 * std::sin(2.0 * M_PI * 0.7 * t)) *
                   (std::sin(2.0 * M_PI * 220.0 * t) + std::sin(2.0 * M_PI * 277.2 * t) +
                    std::sin(2.0 * M_PI * 329.6 * t)) /
                   1.3;
        }
        return 0.0;
    }

    double peak;
    Bed bedKind;
    double bedLevel;
    std::vector<float> signal;
    int lastSpeechEndMs = 0;
    std::mt19937 random{7};
    std::uniform_real_distribution<double> uniform{0.0, 1.0};
};

} // namespace

Q_DECLARE_METATYPE(Interview::Bed)

class TestLoudnessGate : public QObject {
    Q_OBJECT

private slots:
    // Two questions at a playback level over a background: each ends once, a threshold
    // (1,000 ms) after its last sound, and the background alone never holds a question open.
    void questionsAtEveryLevel_data() {
        QTest::addColumn<double>("peakDbfs");
        QTest::addColumn<Interview::Bed>("bed");
        QTest::addColumn<double>("bedDbfs");
        using Bed = Interview::Bed;
        for (double peak : {0.0, -6.0, -14.0, -20.0, -30.0}) {
            QTest::addRow("%g dBFS, digital silence", peak) << peak << Bed::Silence << -200.0;
            QTest::addRow("%g dBFS, quiet noise", peak) << peak << Bed::Noise << -60.0;
            QTest::addRow("%g dBFS, hum", peak) << peak << Bed::Hum << -55.0;
        }
        for (double peak : {0.0, -6.0, -14.0, -20.0})
            QTest::addRow("%g dBFS, music bed", peak) << peak << Bed::Music << -45.0;
    }
    void questionsAtEveryLevel() {
        QFETCH(double, peakDbfs);
        QFETCH(Interview::Bed, bed);
        QFETCH(double, bedDbfs);
        std::vector<int> spoken; // when each question's last sound ended (ms)
        Interview again(peakDbfs, bed, bedDbfs);
        again.pause(3000);
        spoken.push_back(again.question(12));
        again.pause(2500);
        spoken.push_back(again.question(20)); // a slow, long question
        again.pause(2500);

        SpeechFrames frames;
        LoudnessGate gate;
        const std::vector<float> &signal = again.samples();
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
        QCOMPARE(endedAt.size(), spoken.size());
        for (size_t q = 0; q < spoken.size(); ++q) {
            const int late = endedAt[q] - spoken[q];
            // The end of the last syllable is its quiet tail: up to about 100 ms of it may
            // sound like the background.
            QVERIFY2(late >= 880 && late <= 1060,
                     qPrintable(QStringLiteral("question %1 ended %2 ms after its last sound")
                                    .arg(q + 1)
                                    .arg(late)));
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
