#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QThread>

#include <csignal>

namespace KelvaneTest {

PulseServer::PulseServer(Kind serverKind)
    : kind(serverKind) {
    for (const char *name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
        QDir(dir.path()).mkpath(QLatin1String(name));
    QFile::setPermissions(dir.filePath("XDG_RUNTIME_DIR"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

PulseServer::~PulseServer() {
    player.kill();
    player.waitForFinished(5000);
    kill();
}

QStringList PulseServer::tools(Kind kind) {
    if (kind == Kind::PulseAudio)
        return {"pulseaudio", "pactl", "pacat"};
    return {"pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "pactl", "pacat"};
}

QProcessEnvironment PulseServer::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
        env.insert(QLatin1String(name), dir.filePath(QLatin1String(name)));
    const QString socket = kind == Kind::PulseAudio
                               ? dir.filePath("native")
                               : dir.filePath(QStringLiteral("XDG_RUNTIME_DIR/pulse/native"));
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + dir.filePath("bus"));
    env.remove(QStringLiteral("PIPEWIRE_REMOTE"));
    return env;
}

QProcess *PulseServer::spawn(const QString &program, const QStringList &arguments) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(dir.filePath(program + QStringLiteral(".log")),
                                   QIODevice::Append);
    process->start(program, arguments);
    process->waitForStarted(10000);
    processes.push_back(std::move(process));
    return processes.back().get();
}

bool PulseServer::waitUntilAnswering() {
    const QDeadlineTimer deadline(20000);
    while (!pactl({QStringLiteral("info")})) {
        for (const auto &process : processes)
            if (process->state() != QProcess::Running)
                return false;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

bool PulseServer::start() {
    if (!dir.isValid())
        return false;
    qputenv("PULSE_SERVER", environment().value("PULSE_SERVER").toUtf8());
    if (kind == Kind::PulseAudio) {
        spawn(
            QStringLiteral("pulseaudio"),
            {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
             "--load=module-native-protocol-unix auth-anonymous=1 socket=" + dir.filePath("native"),
             "--load=module-null-source source_name=" + QLatin1String(kMicName)});
    } else {
        QFile::remove(dir.filePath("bus"));
        spawn(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--nopidfile",
                                              "--address=unix:path=" + dir.filePath("bus")});
        const QDeadlineTimer busUp(10000);
        while (!QFile::exists(dir.filePath("bus")) && !busUp.hasExpired())
            QThread::msleep(20);
        spawn(QStringLiteral("pipewire"), {});
        spawn(QStringLiteral("wireplumber"), {});
        spawn(QStringLiteral("pipewire-pulse"), {});
    }
    if (!waitUntilAnswering())
        return false;
    if (kind == Kind::PipeWire &&
        !pactl({"load-module", "module-null-sink", "media.class=Audio/Source/Virtual",
                "sink_name=" + QLatin1String(kMicName), "channel_map=front-left,front-right"}))
        return false;
    if (!addSink(QLatin1String(kSinkName)))
        return false;
    // Both defaults set and seen: a stream left to the server's choice would get the source.
    const QDeadlineTimer deadline(10000);
    for (;;) {
        QByteArray info;
        pactl({QStringLiteral("set-default-sink"), QLatin1String(kSinkName)});
        pactl({QStringLiteral("set-default-source"), QLatin1String(kMicName)});
        if (pactl({QStringLiteral("info")}, &info) &&
            info.contains(QByteArray("Default Sink: ") + kSinkName) &&
            info.contains(QByteArray("Default Source: ") + kMicName))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

void PulseServer::kill() {
    // The pulse server first, the bus last: each may need the ones after it as it goes.
    for (auto it = processes.rbegin(); it != processes.rend(); ++it) {
        ::kill(pid_t((*it)->processId()), SIGCONT);
        (*it)->kill();
        (*it)->waitForFinished(10000);
    }
    processes.clear();
}

void PulseServer::freeze(bool frozen) {
    for (const auto &process : processes)
        ::kill(pid_t(process->processId()), frozen ? SIGSTOP : SIGCONT);
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

bool PulseServer::addSink(const QString &name, int rate) {
    if (!pactl({"load-module", "module-null-sink", "sink_name=" + name,
                QStringLiteral("rate=%1").arg(rate), "channels=2", "format=float32le"}))
        return false;
    const QDeadlineTimer deadline(10000);
    QByteArray sinks;
    while (!(pactl({"list", "short", "sinks"}, &sinks) && sinks.contains(name.toUtf8()))) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

bool PulseServer::removeSink(const QString &name) {
    QByteArray modules;
    if (!pactl({"list", "short", "modules"}, &modules))
        return false;
    const QRegularExpression made(QStringLiteral("sink_name=%1(\\s|$)").arg(name));
    for (const QByteArray &line : modules.split('\n'))
        if (made.match(QString::fromUtf8(line)).hasMatch())
            return pactl({"unload-module", QString::fromUtf8(line.split('\t').first())});
    return false;
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
