#include "AudioCapture.h"
#include "PulseServer.h"
#include "TestSupport.h"

#include <QtTest>

#include <cmath>
#include <mutex>
#include <vector>

using namespace Kelvane;
using KelvaneTest::PulseServer;

namespace {

// The RMS of each delivered buffer, and whether all were of the sink's format.
class Recorder {
public:
    AudioDataCallback callback() {
        return [this](const uint8_t *data, size_t size, int rate, int channels) {
            const auto *floats = reinterpret_cast<const float *>(data);
            const size_t n = size / sizeof(float);
            double sum = 0.0;
            for (size_t i = 0; i < n; ++i)
                sum += double(floats[i]) * floats[i];
            std::lock_guard<std::mutex> lock(mutex);
            rms.push_back(n ? std::sqrt(sum / double(n)) : 0.0);
            formatOk = formatOk && size == size_t(rate / 100 * channels * 4);
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return rms.size();
    }

    std::mutex mutex;
    std::vector<double> rms;
    bool formatOk = true;
};

// One second of a 440 Hz sine of peak 0.5 on both channels: RMS 0.3536.
QByteArray sineSecond() {
    std::vector<float> samples(48000 * 2);
    for (size_t i = 0; i < 48000; ++i)
        samples[2 * i] = samples[2 * i + 1] =
            float(0.5 * std::sin(2.0 * M_PI * 440.0 * double(i) / 48000.0));
    return QByteArray(reinterpret_cast<const char *>(samples.data()),
                      qsizetype(samples.size() * sizeof(float)));
}

} // namespace

class TestPulseCapture : public QObject {
    Q_OBJECT

    KelvaneTest::LogLines log;
    std::unique_ptr<PulseServer> server;
    std::unique_ptr<AudioCapture> capture;
    std::unique_ptr<Recorder> recorder;

    int loudBuffers() {
        std::lock_guard<std::mutex> lock(recorder->mutex);
        return int(std::count_if(recorder->rms.begin(), recorder->rms.end(),
                                 [](double rms) { return rms > 0.3; }));
    }

    bool captureRunning() {
        return capture->initialize() && capture->start(recorder->callback()) &&
               QTest::qWaitFor([this]() { return recorder->count() >= 10; }, 10000);
    }

private slots:
    void init() {
        KELVANE_REQUIRE_TOOLS("pulseaudio", "pactl", "pacat");
        server = std::make_unique<PulseServer>();
        QVERIFY(server->start());
        capture = std::make_unique<AudioCapture>();
        recorder = std::make_unique<Recorder>();
    }

    void cleanup() {
        capture.reset();
        recorder.reset();
        server.reset();
    }

    void capturesWhatTheDefaultSinkPlays() {
        QVERIFY(captureRunning()); // the idle monitor delivers zeros
        server->play(sineSecond());
        QVERIFY(server->waitForPlaybackFinished(20000));
        const size_t afterPlayback = recorder->count();
        QTRY_VERIFY(recorder->count() >= afterPlayback + 50);
        capture->stop();

        QVERIFY(recorder->formatOk);
        int loud = 0;
        for (double rms : recorder->rms)
            loud += std::abs(rms - 0.3536) < 0.01 ? 1 : 0;
        // About 100 packets of the second of sine; the edges are partial.
        QVERIFY2(loud >= 90 && loud <= 101, qPrintable(QString::number(loud)));
        for (size_t i = recorder->rms.size() - 20; i < recorder->rms.size(); ++i)
            QCOMPARE(recorder->rms[i], 0.0);
    }

    // The default sink changes, then the one in use goes away: each time capture ends, and a
    // capture opened anew (as the controller does) hears what the new default plays.
    void followsTheDefaultSink() {
        QVERIFY(captureRunning());
        QVERIFY(server->pactl({"load-module", "module-null-sink", "sink_name=kelvane_other",
                               "rate=44100", "channels=2", "format=float32le"}));
        for (const QStringList &change : {QStringList{"set-default-sink", "kelvane_other"},
                                          QStringList{"unload-module", "module-null-sink"}}) {
            std::atomic<bool> ended{false};
            capture->setEndedCallback([&ended](CaptureEnd, PlatformResult) { ended = true; });
            if (change.first() == "unload-module") {
                QByteArray modules;
                QVERIFY(server->pactl({"list", "short", "modules"}, &modules));
                for (const QByteArray &line : modules.split('\n'))
                    if (line.contains("sink_name=kelvane_other"))
                        QVERIFY(server->pactl({"unload-module", line.split('\t').first()}));
            } else {
                QVERIFY(server->pactl(change));
            }
            QTRY_VERIFY_WITH_TIMEOUT(ended.load(), 10000);
            capture = std::make_unique<AudioCapture>();
            recorder = std::make_unique<Recorder>();
            QVERIFY(captureRunning());
            const bool other = change.first() == "set-default-sink";
            server->play(sineSecond(), other ? "kelvane_other" : PulseServer::kSinkName);
            QVERIFY(server->waitForPlaybackFinished(20000));
            QTRY_VERIFY_WITH_TIMEOUT(loudBuffers() >= 50, 10000);
        }
    }

    void killedServerEndsTheCaptureThread() {
        QVERIFY(captureRunning());
        server->kill();
        const size_t before = recorder->count();
        QTest::qWait(300);
        const size_t after = recorder->count();
        QTest::qWait(200);
        QVERIFY(after < before + 30);
        QCOMPARE(recorder->count(), after);
        capture->stop();
    }

    void noServerFailsInitialisation() {
        server->kill();
        QVERIFY(!capture->initialize());
    }
};

QTEST_GUILESS_MAIN(TestPulseCapture)
#include "tst_pulsecapture.moc"
