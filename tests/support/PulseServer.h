#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace KelvaneTest {

// A private sound server speaking the PulseAudio protocol, run as child processes on its own
// socket: PulseAudio itself, or PipeWire with WirePlumber and its pulse server (what most
// desktops run), on a session bus of its own. It has one float32 null sink as the default
// sink and, as the default source, a source that stands for a microphone: a stream that lands
// on it hears nothing of what the sink plays. start() points this process at the server
// (PULSE_SERVER), so the code under test uses it.
class PulseServer {
public:
    enum class Kind { PulseAudio, PipeWire };
    static constexpr const char *kSinkName = "kelvane_test_sink";
    static constexpr const char *kMicName = "kelvane_test_mic";

    explicit PulseServer(Kind kind = Kind::PulseAudio);
    ~PulseServer();
    // The programs this kind needs, for KELVANE_REQUIRE_TOOLS.
    static QStringList tools(Kind kind);
    // Points this process at the server without starting it (a server that starts late).
    void usePrivateSocket();
    bool start();
    void kill();
    // Stops or resumes every server process (a hung server).
    void freeze(bool frozen);
    // Runs pactl against this server; true when it exits 0.
    bool pactl(const QStringList &arguments, QByteArray *output = nullptr) const;
    // Loads a float32 stereo null sink; true when the server lists it.
    bool addSink(const QString &name, int rate = 48000);
    // Unloads the module that made the named sink.
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
