#include "AudioCapture.h"
#include "ScriptedAudioPlatform.h"
#include "TestSupport.h"
#include "WasapiDecisions.h"

#include <QtTest>

#include <mutex>
#include <vector>

using namespace Kelvane;
using KelvaneTest::ScriptedAudioPlatform;
using Step = ScriptedAudioPlatform::Step;

namespace {

// What the capture thread delivered: each buffer's first sample, size, rate and channels.
struct Delivered {
    std::mutex mutex;
    std::vector<std::vector<float>> buffers;
    std::vector<std::pair<int, int>> formats;

    AudioDataCallback callback() {
        return [this](const uint8_t *data, size_t size, int rate, int channels) {
            const auto *floats = reinterpret_cast<const float *>(data);
            std::lock_guard<std::mutex> lock(mutex);
            buffers.emplace_back(floats, floats + size / sizeof(float));
            formats.emplace_back(rate, channels);
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return buffers.size();
    }
};

} // namespace

class TestAudioCapture : public QObject {
    Q_OBJECT

    KelvaneTest::LogLines log;
    std::shared_ptr<ScriptedAudioPlatform::Script> script;

    std::unique_ptr<AudioCapture> makeCapture() {
        return std::make_unique<AudioCapture>(std::make_unique<ScriptedAudioPlatform>(script));
    }

private slots:
    void init() { script = std::make_shared<ScriptedAudioPlatform::Script>(); }

    void initializeFailure_data() {
        QTest::addColumn<int>("step");
        QTest::newRow("com") << int(Step::InitializeCom);
        QTest::newRow("enumerator") << int(Step::CreateEnumerator);
        QTest::newRow("no endpoint in either role") << int(Step::EndpointConsole);
        QTest::newRow("activate") << int(Step::ActivateClient);
        QTest::newRow("mix format") << int(Step::MixFormat);
        QTest::newRow("loopback") << int(Step::InitializeLoopback);
        QTest::newRow("capture service") << int(Step::CaptureService);
    }
    void initializeFailure() {
        QFETCH(int, step);
        script->fail(Step(step), kPlatformGenericFailure);
        if (Step(step) == Step::EndpointConsole)
            script->fail(Step::EndpointMultimedia, kPlatformGenericFailure);
        auto capture = makeCapture();
        QVERIFY(!capture->initialize());
        Delivered delivered;
        QVERIFY(!capture->start(delivered.callback()));
        capture.reset();
        QVERIFY(script->allReleased); // whatever was acquired is released
    }

    void endpointFallsBackToTheConsoleRole() {
        script->fail(Step::EndpointMultimedia, PlatformResult(0x80070490u));
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        QCOMPARE(script->callCount(Step::EndpointConsole), 1);
    }

    // Waiting packets come out in order and unchanged; once the device stays idle, 10 ms blocks
    // of generated silence follow in the device's own format.
    void packetsThenSilence_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("48 kHz stereo") << 48000 << 2;
        QTest::newRow("44.1 kHz 5.1") << 44100 << 6;
    }
    void packetsThenSilence() {
        QFETCH(int, rate);
        QFETCH(int, channels);
        script->format = MixFormat{uint32_t(rate), uint32_t(channels), 32, uint32_t(4 * channels)};
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        for (float value : {0.1f, 0.2f, 0.3f})
            script->queuePacket(std::vector<float>(size_t(channels * rate / 100), value));
        Delivered delivered;
        QVERIFY(capture->start(delivered.callback()));
        QTRY_VERIFY(delivered.count() >= 5);
        capture->stop();
        for (size_t i = 0; i < 3; ++i)
            QCOMPARE(delivered.buffers[i].front(), 0.1f * float(i + 1));
        const std::vector<float> &silence = delivered.buffers[3];
        QCOMPARE(int(silence.size()), channels * rate / 100);
        QVERIFY(std::all_of(silence.begin(), silence.end(), [](float s) { return s == 0.0f; }));
        QCOMPARE(delivered.formats[4], std::make_pair(rate, channels));
    }

    void deviceFailureEndsTheThreadAndStopStillWorks() {
        script->fail(Step::NextPacketSize, PlatformResult(0x88890004u), 12);
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        Delivered delivered;
        QVERIFY(capture->start(delivered.callback()));
        QTRY_COMPARE(script->callCount(Step::NextPacketSize), 13);
        const size_t atFailure = delivered.count();
        QTest::qWait(100);
        QCOMPARE(script->callCount(Step::NextPacketSize), 13);
        QCOMPARE(delivered.count(), atFailure);
        capture->stop();
    }

    // Which Windows default-device notifications move loopback capture: the playback device of
    // the followed role, never a microphone's.
    void windowsDefaultChange_data() {
        using namespace Wasapi;
        QTest::addColumn<int>("flow");
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("followed");
        QTest::addColumn<bool>("moves");
        QTest::newRow("speakers") << int(Flow::Render) << int(Role::Console) << int(Role::Console)
                                  << true;
        QTest::newRow("microphone")
            << int(Flow::Capture) << int(Role::Console) << int(Role::Console) << false;
        QTest::newRow("another role")
            << int(Flow::Render) << int(Role::Multimedia) << int(Role::Console) << false;
        QTest::newRow("headset in a call")
            << int(Flow::Render) << int(Role::Communications) << int(Role::Communications) << true;
    }
    void windowsDefaultChange() {
        QFETCH(int, flow);
        QFETCH(int, role);
        QFETCH(int, followed);
        QFETCH(bool, moves);
        QCOMPARE(Wasapi::defaultChangeMoves(Wasapi::Flow(flow), Wasapi::Role(role),
                                            Wasapi::Role(followed)),
                 moves);
    }

    void failedStartCanBeRetried() {
        script->fail(Step::Start, PlatformResult(0x88890002u));
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        Delivered delivered;
        QVERIFY(!capture->start(delivered.callback()));
        script->failures.clear();
        QVERIFY(capture->start(delivered.callback()));
        QTRY_VERIFY(delivered.count() >= 1);
        QVERIFY(!capture->start(delivered.callback())); // already capturing
        capture->stop();
    }
};

QTEST_GUILESS_MAIN(TestAudioCapture)
#include "tst_audiocapture.moc"
