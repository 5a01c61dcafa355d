#include "ProcessOutput.h"

#include "Log.h"
#include "RunLog.h"

#include <QDateTime>
#include <QStandardPaths>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>

namespace Kelvane {

namespace {

constexpr int kRunsKept = 5;

UINT parentCodePage = 0; // the console's own, given back at exit

// A standard stream the parent redirected (kelvane.exe > log.txt) stays where it points.
bool redirected(DWORD stream) {
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// A program started from a console writes there too; one started from the Start menu has
// none, and a console of its own would let a click into it (QuickEdit) stop every log write.
// Returns whether the log has somewhere to go besides its file.
bool attachToParentConsole() {
    const bool outRedirected = redirected(STD_OUTPUT_HANDLE);
    const bool errRedirected = redirected(STD_ERROR_HANDLE);
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return outRedirected || errRedirected;
    FILE *stream = nullptr;
    if (!outRedirected)
        freopen_s(&stream, "CONOUT$", "w", stdout);
    if (!errRedirected)
        freopen_s(&stream, "CONOUT$", "w", stderr);
    // The log is UTF-8; the console is the user's and gets its code page back at exit.
    parentCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::atexit([]() {
        if (parentCodePage != 0)
            SetConsoleOutputCP(parentCodePage);
    });
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
