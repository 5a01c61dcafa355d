#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

namespace KelvaneTest {

PulseServer::~PulseServer() {
    player.kill();
    player.waitForFinished(5000);
    kill();
}

QProcessEnvironment PulseServer::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
        env.insert(QLatin1String(name), dir.filePath(QLatin1String(name)));
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + dir.filePath("native"));
    return env;
}

bool PulseServer::start() {
    for (const char *name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
        QDir(dir.path()).mkpath(QLatin1String(name));
    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(dir.filePath(QStringLiteral("pulseaudio.log")));
    process.start(
        QStringLiteral("pulseaudio"),
        {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
         "--load=module-native-protocol-unix auth-anonymous=1 socket=" + dir.filePath("native"),
         QStringLiteral("--load=module-null-sink sink_name=%1 rate=48000 channels=2 "
                        "format=float32le norewinds=1")
             .arg(QLatin1String(kSinkName))});
    if (!dir.isValid() || !process.waitForStarted(10000))
        return false;
    const QDeadlineTimer deadline(20000);
    while (!pactl({QStringLiteral("info")})) {
        if (deadline.hasExpired() || process.state() != QProcess::Running)
            return false;
        QThread::msleep(50);
    }
    qputenv("PULSE_SERVER", environment().value("PULSE_SERVER").toUtf8());
    return pactl({QStringLiteral("set-default-sink"), QLatin1String(kSinkName)});
}

void PulseServer::kill() {
    process.kill();
    process.waitForFinished(10000);
}

bool PulseServer::pactl(const QStringList &arguments, QByteArray *output) const {
    QProcess tool;
    tool.setProcessEnvironment(environment());
    tool.start(QStringLiteral("pactl"), arguments);
    if (!tool.waitForFinished(10000)) {
        tool.kill();
        tool.waitForFinished();
        return false;
    }
    if (output)
        *output = tool.readAllStandardOutput();
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

void PulseServer::play(const QByteArray &floatSamples, const QString &sink) {
    player.setProcessEnvironment(environment());
    player.start(QStringLiteral("pacat"), {"--playback", "--raw", "--format=float32le",
                                           "--rate=48000", "--channels=2", "--device=" + sink});
    player.waitForStarted(10000);
    player.write(floatSamples);
    player.closeWriteChannel();
}

} // namespace KelvaneTest
