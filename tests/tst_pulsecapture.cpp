#include "AudioCapture.h"
#include "LogCapture.h"
#include "PulseServer.h"

#include <QtTest>

#include <cmath>
#include <mutex>
#include <vector>

using namespace Kelvane;
using KelvaneTest::LogCapture;
using KelvaneTest::PulseServer;

namespace {

struct Delivery {
    size_t size = 0;
    int sampleRate = 0;
    int channels = 0;
    double rms = 0.0;
    bool allZero = true;
};

class Recorder {
public:
    AudioDataCallback callback() {
        return [this](const uint8_t *data, size_t size, int rate, int channels) {
            Delivery delivery{size, rate, channels, 0.0, true};
            const auto *floats = reinterpret_cast<const float *>(data);
            const size_t n = size / sizeof(float);
            double sum = 0.0;
            for (size_t i = 0; i < n; ++i) {
                sum += double(floats[i]) * floats[i];
                delivery.allZero = delivery.allZero && floats[i] == 0.0f;
            }
            delivery.rms = n ? std::sqrt(sum / double(n)) : 0.0;
            std::lock_guard<std::mutex> lock(mutex);
            deliveries.push_back(delivery);
        };
    }
    std::vector<Delivery> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return deliveries;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return deliveries.size();
    }

private:
    std::mutex mutex;
    std::vector<Delivery> deliveries;
};

// One second of a 440 Hz sine of peak 0.5 on both channels: RMS 0.3536.
QByteArray sineSecond() {
    std::vector<float> samples(48000 * 2);
    for (size_t i = 0; i < 48000; ++i) {
        const float value = float(0.5 * std::sin(2.0 * M_PI * 440.0 * double(i) / 48000.0));
        samples[2 * i] = value;
        samples[2 * i + 1] = value;
    }
    return QByteArray(reinterpret_cast<const char *>(samples.data()),
                      qsizetype(samples.size() * sizeof(float)));
}

} // namespace

class TestPulseCapture : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<PulseServer> server;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<AudioCapture> capture;
    std::unique_ptr<Recorder> recorder;

    // Initialises capture on the server's default sink and waits for the first frames.
    bool captureRunning() {
        return capture->initialize() && capture->start(recorder->callback()) &&
               QTest::qWaitFor([this]() { return recorder->count() >= 10; }, 10000);
    }

private slots:
    void init() {
        if (!PulseServer::available())
            QSKIP("pulseaudio is not installed (scripts/setup installs it)");
        server = std::make_unique<PulseServer>();
        QVERIFY(server->start());
        log = std::make_unique<LogCapture>();
        capture = std::make_unique<AudioCapture>();
        recorder = std::make_unique<Recorder>();
    }

    void cleanup() {
        capture.reset();
        recorder.reset();
        log.reset();
        server.reset();
    }

    void capturesTheMonitorInTenMillisecondPackets() {
        QVERIFY(captureRunning()); // the idle monitor delivers zeros
        QVERIFY(log->out().contains("[AudioCapture] Initializing PulseAudio audio capture...\n"));
        QVERIFY(log->out().contains("[AudioCapture] Using device: "));
        QVERIFY(log->out().contains("[AudioCapture] Audio format: 48000Hz, 2 channels, 32 bits\n"));
        server->play(sineSecond());
        QVERIFY(server->waitForPlaybackFinished(20000));
        const size_t afterPlayback = recorder->count();
        QTRY_VERIFY(recorder->count() >= afterPlayback + 50);
        capture->stop();

        const auto deliveries = recorder->all();
        int loud = 0;
        int first = -1;
        int last = -1;
        for (size_t i = 0; i < deliveries.size(); ++i) {
            const Delivery &d = deliveries[i];
            QCOMPARE(d.size, size_t(480 * 2 * 4));
            QCOMPARE(d.sampleRate, 48000);
            QCOMPARE(d.channels, 2);
            if (std::abs(d.rms - 0.3536) < 0.01) {
                ++loud;
                if (first < 0)
                    first = int(i);
                last = int(i);
            }
        }
        // About 100 packets of the second of sine; the edges are partial.
        QVERIFY2(loud >= 90 && loud <= 101, qPrintable(QString::number(loud)));
        int insertedSilence = 0;
        for (int i = first; i <= last; ++i)
            if (deliveries[size_t(i)].allZero)
                ++insertedSilence;
        qInfo("generated silence between real packets during playback: %d of %d polls",
              insertedSilence, last - first + 1);
        // Nothing playing: zeros keep arriving.
        for (size_t i = deliveries.size() - 20; i < deliveries.size(); ++i)
            QVERIFY(deliveries[i].allZero);
    }

    void suspendedSinkGivesGeneratedSilence() {
        QVERIFY(captureRunning());
        QVERIFY(server->pactl({"suspend-sink", PulseServer::kSinkName, "1"}));
        QTRY_VERIFY_WITH_TIMEOUT(log->out().contains("[AudioCapture] No audio data for 1 seconds, "
                                                     "generating silence\n"),
                                 20000);
        capture->stop();
        for (const Delivery &d : recorder->all()) {
            QVERIFY(d.allZero);
            QCOMPARE(d.size, size_t(480 * 2 * 4));
        }
    }

    void killedServerEndsTheCaptureThread() {
        QVERIFY(captureRunning());
        server->kill();
        QTRY_VERIFY_WITH_TIMEOUT(log->err().contains("[AudioCapture] GetNextPacketSize failed: 0x"),
                                 20000);
        const size_t delivered = recorder->count();
        QTest::qWait(100);
        QCOMPARE(recorder->count(), delivered);
        QVERIFY(!capture->start(recorder->callback()));
        capture->stop();
        QVERIFY(log->out().contains("[AudioCapture] Capture stopped\n"));
    }

    void defaultSinkChangedWhileCapturing() {
        QVERIFY(captureRunning());
        QVERIFY(server->pactl({"load-module", "module-null-sink", "sink_name=kelvane_other",
                               "rate=44100", "channels=1"}));
        QVERIFY(server->pactl({"set-default-sink", "kelvane_other"}));
        // Capture stays on the device it was set up with and keeps delivering its format.
        const size_t before = recorder->count();
        QTRY_VERIFY(recorder->count() >= before + 50);
        capture->stop();
        for (const Delivery &d : recorder->all()) {
            QCOMPARE(d.sampleRate, 48000);
            QCOMPARE(d.channels, 2);
        }
        QCOMPARE(log->err(), QString());
    }

    void noServerFailsInitialisation() {
        server->kill();
        QVERIFY(!capture->initialize());
        QVERIFY(log->err().contains("[AudioCapture] Failed to create device enumerator: 0x8a55"));
    }
};

QTEST_GUILESS_MAIN(TestPulseCapture)
#include "tst_pulsecapture.moc"
