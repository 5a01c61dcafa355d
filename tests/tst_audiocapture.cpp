#include "AudioCapture.h"
#include "ScriptedAudioPlatform.h"
#include "TestSupport.h"
#include "WasapiDecisions.h"

#include <QtTest>

#include <cmath>
#include <limits>
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

    // Mix formats the Windows layer takes, and what a sample of each reads as (NaN: refused).
    void windowsMixFormats_data() {
        QTest::addColumn<int>("tag");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QByteArray>("bytes"); // one sample, little-endian
        QTest::addColumn<float>("value");
        const float refused = std::numeric_limits<float>::quiet_NaN();
        const QByteArray half("\x00\x00\x00\x3f", 4); // 0.5f
        QTest::newRow("float") << 3 << 32 << half << 0.5f;
        QTest::newRow("extensible float") << 0xFFFE << 32 << half << 0.5f;
        QTest::newRow("16-bit") << 1 << 16 << QByteArray("\x00\xc0", 2) << -0.5f;
        QTest::newRow("extensible 24-bit") << 0xFFFE << 24 << QByteArray("\x00\x00\x40", 3) << 0.5f;
        QTest::newRow("32-bit") << 1 << 32 << QByteArray("\x00\x00\x00\x80", 4) << -1.0f;
        QTest::newRow("64-bit float") << 3 << 64 << QByteArray(8, 0) << refused;
        QTest::newRow("8-bit") << 1 << 8 << QByteArray(1, 0) << refused;
        QTest::newRow("compressed") << 2 << 16 << QByteArray(2, 0) << refused;
    }
    void windowsMixFormats() {
        QFETCH(int, tag);
        QFETCH(int, bits);
        QFETCH(QByteArray, bytes);
        QFETCH(float, value);
        const bool extensibleFloat = tag == 0xFFFE && bits == 32;
        const auto samples =
            Wasapi::samplesOf(uint16_t(tag), uint16_t(bits), extensibleFloat, !extensibleFloat);
        QCOMPARE(samples == Wasapi::Samples::Unsupported, std::isnan(value));
        float out = std::numeric_limits<float>::quiet_NaN();
        Wasapi::toFloat(reinterpret_cast<const uint8_t *>(bytes.constData()), 1, samples, &out);
        QVERIFY(std::isnan(value) || out == value);
    }

    void windowsDeviceAndPacketDecisions() {
        QVERIFY(Wasapi::useChosenDevice(true, 1));   // DEVICE_STATE_ACTIVE
        QVERIFY(!Wasapi::useChosenDevice(true, 8));  // unplugged
        QVERIFY(!Wasapi::useChosenDevice(true, 2));  // disabled
        QVERIFY(!Wasapi::useChosenDevice(false, 1)); // gone
        QVERIFY(Wasapi::packetFlags(0x2).silent);
        QVERIFY(!Wasapi::packetFlags(0x1).silent && Wasapi::packetFlags(0x1).discontinuity);
        QCOMPARE(Wasapi::followedRole(Wasapi::kCommunicationsDevice), Wasapi::Role::Communications);
        QCOMPARE(Wasapi::followedRole("{0.0.0.00000000}.{id}"), Wasapi::Role::Console);
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
