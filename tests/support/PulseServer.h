#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace KelvaneTest {

// A private sound server on its own socket, which start() points this process at: PulseAudio,
// or PipeWire with WirePlumber and its pulse server on a bus of its own. Its default sink is a
// float32 null sink; its default source stands for a microphone that hears none of it.
class PulseServer {
public:
    enum class Kind { PulseAudio, PipeWire };
    static constexpr const char *kSinkName = "kelvane_test_sink";
    static constexpr const char *kMicName = "kelvane_test_mic";

    explicit PulseServer(Kind kind = Kind::PulseAudio);
    ~PulseServer();
    static QStringList tools(Kind kind); // for KELVANE_REQUIRE_TOOLS
    bool start();
    void kill();
    void freeze(bool frozen); // stops or resumes every server process (a hung server)
    bool pactl(const QStringList &arguments, QByteArray *output = nullptr) const; // exit code 0
    bool addSink(const QString &name, int rate = 48000); // float32 stereo; true once listed
    bool removeSink(const QString &name);
    // Plays interleaved float32 stereo samples at 48 kHz into a sink (returns at once).
    void play(const QByteArray &floatSamples, const QString &sink = QLatin1String(kSinkName));
    bool waitForPlaybackFinished(int ms) { return player.waitForFinished(ms); }

private:
    QProcessEnvironment environment() const;
    QProcess *spawn(const QString &program, const QStringList &arguments);
    bool waitUntilAnswering();

    Kind kind;
    QTemporaryDir dir;
    std::vector<std::unique_ptr<QProcess>> processes;
    QProcess player;
};

} // namespace KelvaneTest
