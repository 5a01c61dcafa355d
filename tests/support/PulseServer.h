#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace KelvaneTest {

// A private PulseAudio server with one float32 null sink, run in the foreground as a child
// process and reached through its own socket. It sets PULSE_SERVER for this process, so the
// code under test connects to it.
class PulseServer {
public:
    static constexpr const char *kSinkName = "kelvane_test_sink";

    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer &) = delete;
    PulseServer &operator=(const PulseServer &) = delete;

    static bool available(); // the pulseaudio binary is installed
    bool start();
    void kill();
    bool running() const { return process.state() == QProcess::Running; }

    QString serverAddress() const;
    // Runs pactl against this server; true when it exits 0.
    bool pactl(const QStringList &arguments, QByteArray *output = nullptr) const;
    // Plays interleaved float32 stereo samples at 48 kHz into a sink (returns at once).
    void play(const QByteArray &floatSamples, const QString &sink = QLatin1String(kSinkName));
    bool waitForPlaybackFinished(int ms);

private:
    QProcessEnvironment environment() const;

    QTemporaryDir dir;
    QProcess process;
    QProcess player;
};

} // namespace KelvaneTest
