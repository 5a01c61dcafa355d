#include "ProcessOutput.h"

#include "Log.h"
#include "RunLog.h"

#include <QDateTime>
#include <QStandardPaths>

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

namespace Kelvane {

namespace {

constexpr int kRunsKept = 5;

// A program started from a console writes there too; one started from the Start menu has
// none, and a console of its own would let a click into it (QuickEdit) stop every log write.
bool attachToParentConsole() {
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return false;
    FILE *stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
    SetConsoleOutputCP(CP_UTF8); // the log is UTF-8
    std::cout.clear();
    std::cerr.clear();
    return true;
}

} // namespace

void setUpProcessOutput() {
    const bool console = attachToParentConsole();
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                           QStringLiteral("/Kelvane/logs");
    const QString path = startRunLog(folder, QDateTime::currentDateTime(), kRunsKept);
    auto file = std::make_shared<std::ofstream>();
    if (!path.isEmpty())
        file->open(reinterpret_cast<const wchar_t *>(path.utf16()), std::ios::out | std::ios::app);
    Log::setSink([console, file](Log::Stream stream, const std::string &line) {
        if (console)
            (stream == Log::Stream::Out ? std::cout : std::cerr) << line << std::endl;
        if (file->is_open())
            *file << line << std::endl;
    });
    if (!path.isEmpty())
        Log::out("[Application] Log file: ", path);
}

} // namespace Kelvane
