#pragma once

#include "Log.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QtTest>

#include <mutex>

namespace KelvaneTest {

// Collects the log for the lifetime of the object instead of printing it.
class LogLines {
public:
    LogLines() {
        previous =
            Kelvane::Log::setSink([this](Kelvane::Log::Stream stream, const std::string &line) {
                std::lock_guard<std::mutex> lock(mutex);
                (stream == Kelvane::Log::Stream::Out ? outLines : errLines)
                    .append(QString::fromStdString(line));
            });
    }
    ~LogLines() { Kelvane::Log::setSink(previous); }
    LogLines(const LogLines &) = delete;
    LogLines &operator=(const LogLines &) = delete;

    QStringList out() const {
        std::lock_guard<std::mutex> lock(mutex);
        return outLines;
    }
    QStringList err() const {
        std::lock_guard<std::mutex> lock(mutex);
        return errLines;
    }

private:
    mutable std::mutex mutex;
    QStringList outLines;
    QStringList errLines;
    Kelvane::Log::Sink previous;
};

// A data table whose rows are one struct: a row per line, one QFETCH(Row, row) in the test.
template <typename Row> void addRows(std::initializer_list<std::pair<const char *, Row>> rows) {
    QTest::addColumn<Row>("row");
    for (const auto &[name, row] : rows)
        QTest::newRow(name) << row;
}

// Settings in a private folder, as a file on every platform (never the user's own store), and
// secrets never in the user's own keyring: only tests/with-keyring.sh gives them one, private.
inline void usePrivateSettings(const QString &folder) {
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    if (qEnvironmentVariable("KELVANE_KEYRING") != QLatin1String("1"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvane-test-bus");
}

// Empty when every tool is on the PATH, else the first one missing.
inline QString missingTool(const QStringList &tools) {
    for (const QString &tool : tools)
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return tool;
    return QString();
}

} // namespace KelvaneTest

// Skips a test whose tools are missing, but fails it under CI: a dropped install step must
// not pass as a skip.
#define KELVANE_REQUIRE_TOOLS(...)                                                                 \
    do {                                                                                           \
        const QString missing_ = KelvaneTest::missingTool(QStringList{__VA_ARGS__});               \
        if (!missing_.isEmpty()) {                                                                 \
            if (qEnvironmentVariable("CI") == QLatin1String("true"))                               \
                QFAIL(qPrintable(missing_ + QLatin1String(" is missing (scripts/setup)")));        \
            QSKIP(qPrintable(missing_ + QLatin1String(" is missing")));                            \
        }                                                                                          \
    } while (false)
