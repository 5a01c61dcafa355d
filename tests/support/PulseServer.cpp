#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QStandardPaths>
#include <QThread>

namespace KelvaneTest {

PulseServer::PulseServer() = default;

PulseServer::~PulseServer() {
    if (player.state() != QProcess::NotRunning) {
        player.kill();
        player.waitForFinished(5000);
    }
    kill();
}

bool PulseServer::available() {
    return !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty();
}

QString PulseServer::serverAddress() const {
    return QStringLiteral("unix:") + dir.filePath(QStringLiteral("run/native"));
}

QProcessEnvironment PulseServer::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("run")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("PULSE_SERVER"), serverAddress());
    return env;
}

bool PulseServer::start() {
    if (!dir.isValid())
        return false;
    for (const char *sub : {"home", "run", "config"})
        QDir(dir.path()).mkpath(QString::fromLatin1(sub));

    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(dir.filePath(QStringLiteral("pulseaudio.log")));
    process.start(QStringLiteral("pulseaudio"),
                  {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                   QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit"),
                   QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=") +
                       dir.filePath(QStringLiteral("run/native")),
                   QStringLiteral("--load=module-null-sink sink_name=%1 rate=48000 channels=2 "
                                  "format=float32le norewinds=1")
                       .arg(QString::fromLatin1(kSinkName))});
    if (!process.waitForStarted(10000))
        return false;

    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (process.state() != QProcess::Running)
            return false;
        if (pactl({QStringLiteral("info")}))
            break;
        QThread::msleep(50);
    }
    if (!pactl({QStringLiteral("set-default-sink"), QString::fromLatin1(kSinkName)}))
        return false;
    qputenv("PULSE_SERVER", serverAddress().toUtf8());
    return true;
}

void PulseServer::kill() {
    if (process.state() == QProcess::NotRunning)
        return;
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
    player.start(QStringLiteral("pacat"),
                 {QStringLiteral("--playback"), QStringLiteral("--raw"),
                  QStringLiteral("--format=float32le"), QStringLiteral("--rate=48000"),
                  QStringLiteral("--channels=2"), QStringLiteral("--device=") + sink});
    player.waitForStarted(10000);
    player.write(floatSamples);
    player.closeWriteChannel();
}

bool PulseServer::waitForPlaybackFinished(int ms) {
    return player.waitForFinished(ms);
}

} // namespace KelvaneTest
