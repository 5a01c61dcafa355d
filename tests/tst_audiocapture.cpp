#include "AudioCapture.h"
#include "LogCapture.h"
#include "ScriptedAudioPlatform.h"

#include <QtTest>

#include <mutex>
#include <vector>

using namespace Kelvane;
using KelvaneTest::LogCapture;
using KelvaneTest::ScriptedAudioPlatform;
using Step = ScriptedAudioPlatform::Step;

namespace {

struct Frame {
    size_t size = 0;
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> samples;
    bool silent() const {
        for (float s : samples)
            if (s != 0.0f)
                return false;
        return true;
    }
};

// Collects what the capture thread delivers.
class Collector {
public:
    std::function<void(int index, const Frame &)> hook; // runs on the capture thread

    AudioDataCallback callback() {
        return [this](const uint8_t *data, size_t size, int rate, int channels) {
            Frame frame{size, rate, channels, {}};
            const auto *floats = reinterpret_cast<const float *>(data);
            frame.samples.assign(floats, floats + size / sizeof(float));
            int index = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                frames.push_back(frame);
                index = int(frames.size());
            }
            if (hook)
                hook(index, frame);
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
    std::vector<Frame> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }

private:
    std::mutex mutex;
    std::vector<Frame> frames;
};

std::vector<float> packet(float value, int frames, int channels = 2) {
    return std::vector<float>(size_t(frames * channels), value);
}

} // namespace

class TestAudioCapture : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<ScriptedAudioPlatform::Script> script;

    std::unique_ptr<AudioCapture> makeCapture() {
        return std::make_unique<AudioCapture>(std::make_unique<ScriptedAudioPlatform>(script));
    }

private slots:
    void init() { script = std::make_shared<ScriptedAudioPlatform::Script>(); }

    void initializeLogsDeviceAndFormat() {
        LogCapture log;
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        QCOMPARE(log.outLines(),
                 (QStringList{"[AudioCapture] Initializing Scripted audio capture...",
                              "[AudioCapture] Using device: Scripted Speakers",
                              "[AudioCapture] Audio format: 48000Hz, 2 channels, 32 bits",
                              "[AudioCapture] Initialization successful"}));
        QCOMPARE(log.err(), QString());
        capture.reset();
        QVERIFY(script->allReleased);
        QVERIFY(script->comUninitialized);
    }

    void initializeFailures_data() {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("activated"); // whether the client had been obtained
        QTest::newRow("com") << int(Step::InitializeCom)
                             << "[AudioCapture] COM initialization failed: 0x80004005" << 0;
        QTest::newRow("enumerator")
            << int(Step::CreateEnumerator)
            << "[AudioCapture] Failed to create device enumerator: 0x80004005" << 0;
        QTest::newRow("activate") << int(Step::ActivateClient)
                                  << "[AudioCapture] Failed to activate audio client: 0x80004005"
                                  << 0;
        QTest::newRow("mix format")
            << int(Step::MixFormat) << "[AudioCapture] Failed to get mix format: 0x80004005" << 1;
        QTest::newRow("loopback") << int(Step::InitializeLoopback)
                                  << "[AudioCapture] Failed to initialize audio client: 0x80004005"
                                  << 1;
        QTest::newRow("capture service")
            << int(Step::CaptureService)
            << "[AudioCapture] Failed to get capture client: 0x80004005" << 1;
    }

    void initializeFailures() {
        QFETCH(int, step);
        QFETCH(QString, line);
        LogCapture log;
        script->fail(Step(step), kPlatformGenericFailure);
        auto capture = makeCapture();
        QVERIFY(!capture->initialize());
        QCOMPARE(log.errLines(), QStringList{line});
        QVERIFY(!log.out().contains("Initialization successful"));
        // Whatever was acquired is still released at destruction; start is refused.
        log.clear();
        QVERIFY(!capture->start([](const uint8_t *, size_t, int, int) {}));
        QCOMPARE(log.errLines(), QStringList{"[AudioCapture] Not initialized"});
        capture.reset();
        QVERIFY(script->allReleased);
    }

    void comInAnotherModeIsUsableButNotBalanced() {
        LogCapture log;
        script->fail(Step::InitializeCom, kPlatformChangedMode);
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        capture.reset();
        QVERIFY(!script->comUninitialized);
    }

    void endpointRoleFallback() {
        LogCapture log;
        script->fail(Step::EndpointMultimedia, PlatformResult(0x80070490u));
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        QCOMPARE(script->callCount(Step::EndpointConsole), 1);
        QCOMPARE(log.err(), QString());

        init();
        script->fail(Step::EndpointMultimedia, PlatformResult(0x80070490u));
        script->fail(Step::EndpointConsole, PlatformResult(0x88890004u));
        auto failing = makeCapture();
        QVERIFY(!failing->initialize());
        QCOMPARE(log.errLines(),
                 QStringList{"[AudioCapture] Failed to get default audio endpoint: 0x88890004"});
    }

    void nameFailureIsSilent() {
        LogCapture log;
        script->fail(Step::FriendlyName, kPlatformGenericFailure);
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        QVERIFY(!log.out().contains("Using device"));
        QCOMPARE(log.err(), QString());
    }

    void startTwiceAndStopWhenIdle() {
        LogCapture log;
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        log.clear();
        capture->stop();
        QCOMPARE(log.out() + log.err(), QString());

        Collector first;
        Collector second;
        QVERIFY(capture->start(first.callback()));
        QVERIFY(!capture->start(second.callback()));
        QCOMPARE(log.errLines(), QStringList{"[AudioCapture] Already capturing"});
        QTRY_VERIFY(first.count() >= 3);
        capture->stop();
        QCOMPARE(second.count(), size_t(0));
        QCOMPARE(log.outLines(), (QStringList{"[AudioCapture] Capture started",
                                              "[AudioCapture] Stopping capture...",
                                              "[AudioCapture] Capture stopped"}));
        // A restart runs a new thread with the new callback.
        QVERIFY(capture->start(second.callback()));
        QTRY_VERIFY(second.count() >= 1);
        capture->stop();
    }

    void startFailureClearsCapturing() {
        LogCapture log;
        script->fail(Step::Start, PlatformResult(0x88890002u), 0, 1);
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        Collector collector;
        QVERIFY(!capture->start(collector.callback()));
        QVERIFY(log.err().contains("[AudioCapture] Failed to start audio client: 0x88890002\n"));
        QVERIFY(capture->start(collector.callback()));
        capture->stop();
    }

    void waitingPacketsAreDrainedInOrder() {
        LogCapture log;
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        script->queuePacket(packet(0.1f, 480));
        script->queuePacket(packet(0.2f, 100));
        script->queuePacket(packet(0.3f, 480));
        Collector collector;
        QVERIFY(capture->start(collector.callback()));
        QTRY_VERIFY(collector.count() >= 4);
        capture->stop();
        const auto frames = collector.all();
        QCOMPARE(frames[0].samples.front(), 0.1f);
        QCOMPARE(frames[0].size, size_t(480 * 8));
        QCOMPARE(frames[1].samples.front(), 0.2f);
        QCOMPARE(frames[1].size, size_t(100 * 8));
        QCOMPARE(frames[2].samples.front(), 0.3f);
        QVERIFY(frames[3].silent());
        QCOMPARE(frames[0].sampleRate, 48000);
        QCOMPARE(frames[0].channels, 2);
        // All three came out of one poll: one top-of-poll size query and one per packet.
        QCOMPARE(script->released, (std::vector<uint32_t>{480, 100, 480}));
    }

    void emptyPacketsAreReleasedButNotDelivered() {
        LogCapture log;
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        script->nullDataPackets = 1;
        script->queuePacket(packet(0.5f, 480)); // arrives with a null pointer
        script->queuePacket({});                // zero frames
        script->queuePacket(packet(0.7f, 480));
        Collector collector;
        QVERIFY(capture->start(collector.callback()));
        QTRY_VERIFY(collector.count() >= 1);
        capture->stop();
        QCOMPARE(collector.all().front().samples.front(), 0.7f);
        QCOMPARE(script->released, (std::vector<uint32_t>{480, 0, 480}));
    }

    void silenceAndTheNoAudioLines() {
        LogCapture log;
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        Collector collector;
        std::vector<int> linesSeenAt(260, -1);
        collector.hook = [&](int index, const Frame &) {
            if (index < int(linesSeenAt.size()))
                linesSeenAt[size_t(index)] = log.countOut("No audio data for");
            if (index == 60)
                script->queuePacket(packet(0.25f, 480)); // sound restarts the count
        };
        QVERIFY(capture->start(collector.callback()));
        QTRY_VERIFY_WITH_TIMEOUT(collector.count() >= 262, 20000);
        capture->stop();

        const auto frames = collector.all();
        int silentFrames = 0;
        for (size_t i = 0; i < 262; ++i) {
            if (!frames[i].silent())
                continue;
            ++silentFrames;
            QCOMPARE(frames[i].size, size_t(2 * 480 * 4));
        }
        QCOMPARE(silentFrames, 261);
        QCOMPARE(frames[60].samples.front(), 0.25f); // the 61st delivery is the packet
        // The line is written after the 100th empty poll's frame: 60 before the packet do
        // not count, so it first shows at delivery 60 + 1 + 100 + 1.
        QCOMPARE(linesSeenAt[161], 0);
        QCOMPARE(linesSeenAt[162], 1);
        QCOMPARE(linesSeenAt[259], 1);
        QTRY_COMPARE(log.countOut("No audio data for 1 seconds, generating silence"), 1);
        // Two hundred empty polls after the packet: delivery 60 + 1 + 200.
        QCOMPARE(log.countOut("No audio data for 2 seconds, generating silence"), 1);
    }

    void nextPacketSizeFailureEndsTheThread() {
        LogCapture log;
        script->fail(Step::NextPacketSize, PlatformResult(0x88890004u), 5);
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        Collector collector;
        QVERIFY(capture->start(collector.callback()));
        QTRY_VERIFY(log.err().contains("[AudioCapture] GetNextPacketSize failed: 0x88890004\n"));
        const size_t delivered = collector.count();
        QCOMPARE(delivered, size_t(5));
        QTest::qWait(50);
        QCOMPARE(collector.count(), delivered);

        QVERIFY(!capture->start(collector.callback()));
        QVERIFY(log.err().contains("[AudioCapture] Already capturing\n"));
        capture->stop();
        QVERIFY(log.out().contains("[AudioCapture] Capture stopped\n"));
        QCOMPARE(script->callCount(Step::Stop), 1);
    }

    void getBufferFailureEndsOnlyTheDrain() {
        LogCapture log;
        script->fail(Step::GetBuffer, PlatformResult(0x88890001u), 0, 1);
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        script->queuePacket(packet(0.4f, 480));
        Collector collector;
        QVERIFY(capture->start(collector.callback()));
        QTRY_VERIFY(collector.count() >= 1);
        capture->stop();
        QCOMPARE(log.errLines(), QStringList{"[AudioCapture] GetBuffer failed: 0x88890001"});
        QCOMPARE(collector.all().front().samples.front(), 0.4f); // delivered on the next poll
    }

    void releaseFailureIsLoggedAndIgnored() {
        LogCapture log;
        script->fail(Step::ReleaseBuffer, PlatformResult(0x88890003u), 0, 1);
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        script->queuePacket(packet(0.1f, 480));
        script->queuePacket(packet(0.2f, 480));
        Collector collector;
        QVERIFY(capture->start(collector.callback()));
        QTRY_VERIFY(collector.count() >= 2);
        capture->stop();
        QCOMPARE(log.errLines(), QStringList{"[AudioCapture] ReleaseBuffer failed: 0x88890003"});
        QCOMPARE(collector.all()[1].samples.front(), 0.2f);
    }

    void sixChannelFormat() {
        LogCapture log;
        script->format = MixFormat{44100, 6, 32, 24};
        auto capture = makeCapture();
        QVERIFY(capture->initialize());
        QVERIFY(log.out().contains("[AudioCapture] Audio format: 44100Hz, 6 channels, 32 bits\n"));
        script->queuePacket(packet(0.3f, 441, 6));
        Collector collector;
        QVERIFY(capture->start(collector.callback()));
        QTRY_VERIFY(collector.count() >= 2);
        capture->stop();
        const auto frames = collector.all();
        QCOMPARE(frames[0].size, size_t(441 * 24));
        QCOMPARE(frames[1].size, size_t(6 * 480 * 4));
        QCOMPARE(frames[1].channels, 6);
        QCOMPARE(frames[1].sampleRate, 44100);
    }
};

QTEST_GUILESS_MAIN(TestAudioCapture)
#include "tst_audiocapture.moc"
