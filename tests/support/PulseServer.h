#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace KelvaneTest {

// A private PulseAudio server with one float32 null sink, run as a child process on its own
// socket. start() points this process at it (PULSE_SERVER), so the code under test uses it.
class PulseServer {
public:
    static constexpr const char *kSinkName = "kelvane_test_sink";

    ~PulseServer();
    bool start();
    void kill();
    // Runs pactl against this server; true when it exits 0.
    bool pactl(const QStringList &arguments, QByteArray *output = nullptr) const;
    // Plays interleaved float32 stereo samples at 48 kHz into a sink (returns at once).
    void play(const QByteArray &floatSamples, const QString &sink = QLatin1String(kSinkName));
    bool waitForPlaybackFinished(int ms) { return player.waitForFinished(ms); }

private:
    QProcessEnvironment environment() const;

    QTemporaryDir dir;
    QProcess process;
    QProcess player;
};

} // namespace KelvaneTest
