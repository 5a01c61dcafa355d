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

    // A failure at any step of opening the device: nothing starts, everything acquired is
    // released; without a multimedia endpoint, the console role's is used.
    void initializeFailure() {
        for (Step step : {Step::InitializeCom, Step::CreateEnumerator, Step::EndpointConsole,
                          Step::ActivateClient, Step::MixFormat, Step::InitializeLoopback,
                          Step::CaptureService}) {
            init();
            script->fail(step, kPlatformGenericFailure);
            if (step == Step::EndpointConsole)
                script->fail(Step::EndpointMultimedia, kPlatformGenericFailure);
            auto capture = makeCapture();
            QVERIFY(!capture->initialize());
            Delivered delivered;
            QVERIFY(!capture->start(delivered.callback()));
            capture.reset();
            QVERIFY2(script->allReleased, qPrintable(QString::number(int(step))));
        }
        init();
        script->fail(Step::EndpointMultimedia, PlatformResult(0x80070490u));
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        QCOMPARE(script->callCount(Step::EndpointConsole), 1);
    }

    // Waiting packets come out in order and unchanged; once the device stays idle, 10 ms blocks
    // of generated silence follow in the device's own format.
    void packetsThenSilence() {
        for (const auto &[rate, channels] : {std::pair{48000, 2}, {44100, 6}}) {
            script->format =
                MixFormat{uint32_t(rate), uint32_t(channels), 32, uint32_t(4 * channels)};
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
            QVERIFY(std::all_of(silence.begin(), silence.end(), [](float s) { return s == 0; }));
            QCOMPARE(delivered.formats[4], std::make_pair(rate, channels));
        }
    }

    // The Windows layer's decisions: which default-device notifications move loopback capture
    // (the playback device of the followed role, never a microphone's), which chosen device is
    // used, what a packet's flags mean.
    void windowsDecisions() {
        using namespace Wasapi;
        for (const auto &[flow, role, followed, moves] :
             {std::tuple{Flow::Render, Role::Console, Role::Console, true},
              {Flow::Capture, Role::Console, Role::Console, false},
              {Flow::Render, Role::Multimedia, Role::Console, false},
              {Flow::Render, Role::Communications, Role::Communications, true}})
            QCOMPARE(defaultChangeMoves(flow, role, followed), moves);
        QVERIFY(useChosenDevice(true, 1));   // DEVICE_STATE_ACTIVE
        QVERIFY(!useChosenDevice(true, 8));  // unplugged
        QVERIFY(!useChosenDevice(true, 2));  // disabled
        QVERIFY(!useChosenDevice(false, 1)); // gone
        QVERIFY(packetFlags(0x2).silent);
        QVERIFY(!packetFlags(0x1).silent && packetFlags(0x1).discontinuity);
        QCOMPARE(followedRole(kCommunicationsDevice), Role::Communications);
        QCOMPARE(followedRole("{0.0.0.00000000}.{id}"), Role::Console);
    }

    // Mix formats the Windows layer takes, and what a sample of each reads as (NaN: refused).
    void windowsMixFormats() {
        const float refused = std::numeric_limits<float>::quiet_NaN();
        const QByteArray half("\x00\x00\x00\x3f", 4); // 0.5f
        for (const auto &[tag, bits, bytes, value] :  // one sample, little-endian
             {std::tuple{3, 32, half, 0.5f},          // float
              {0xFFFE, 32, half, 0.5f},               // extensible float
              {1, 16, QByteArray("\x00\xc0", 2), -0.5f},
              {0xFFFE, 24, QByteArray("\x00\x00\x40", 3), 0.5f},
              {1, 32, QByteArray("\x00\x00\x00\x80", 4), -1.0f},
              {3, 64, QByteArray(8, 0), refused},
              {1, 8, QByteArray(1, 0), refused},
              {2, 16, QByteArray(2, 0), refused}}) { // compressed
            const bool extensibleFloat = tag == 0xFFFE && bits == 32;
            const auto samples =
                Wasapi::samplesOf(uint16_t(tag), uint16_t(bits), extensibleFloat, !extensibleFloat);
            QCOMPARE(samples == Wasapi::Samples::Unsupported, std::isnan(value));
            float out = refused;
            Wasapi::toFloat(reinterpret_cast<const uint8_t *>(bytes.constData()), 1, samples, &out);
            QVERIFY2(std::isnan(value) || out == value, qPrintable(QString::number(tag)));
        }
    }

    // A render endpoint plays while it has an active session, loud this instant or not (the
    // interviewer between two sentences); the program is the loudest active session's that
    // has a name (the system's own sounds have none).
    void endpointPlaying() {
        using Session = Wasapi::SessionReading;
        for (const auto &[sessions, playing, program] :
             {std::tuple{std::vector<Session>{{"Teams.exe", true, 0.0f}}, true, "Teams.exe"},
              {std::vector<Session>{}, false, ""},
              {std::vector<Session>{{"wemeet.exe", false, 0.5f}}, false, ""},
              {std::vector<Session>{{"", true, 0.3f}}, true, ""},
              {std::vector<Session>{{"", true, 0.3f},
                                    {"chrome.exe", true, 0.05f},
                                    {"Teams.exe", true, 0.2f},
                                    {"wemeet.exe", false, 0.5f}},
               true, "Teams.exe"}}) {
            const Wasapi::EndpointVerdict verdict = Wasapi::endpointPlaying(sessions);
            QCOMPARE(verdict.playing, playing);
            QCOMPARE(verdict.program, std::string(program));
        }
    }
};

QTEST_GUILESS_MAIN(TestAudioCapture)
#include "tst_audiocapture.moc"
