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
#include <string>

namespace Kelvane {

namespace {

constexpr int kRunsKept = 5;

// A standard stream the parent redirected (kelvane.exe > log.txt) stays where it points.
bool redirected(DWORD stream) {
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// Where each stream of the log goes besides its file: the console the program was started
// from, written with WriteConsoleW (the text as it is, whatever the console's code page, which
// is left alone: a changed one would outlive a killed process), or the redirection.
struct Destination {
    HANDLE console = nullptr; // null: none, or the stream is redirected
    bool redirected = false;
};
Destination outTo, errTo;

// A program started from a console writes there too; one started from the Start menu has
// none, and a console of its own would let a click into it (QuickEdit) stop every log write.
// Returns whether the log has somewhere to go besides its file.
bool attachToParentConsole() {
    outTo.redirected = redirected(STD_OUTPUT_HANDLE);
    errTo.redirected = redirected(STD_ERROR_HANDLE);
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return outTo.redirected || errTo.redirected;
    const HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
        outTo.console = outTo.redirected ? nullptr : console;
        errTo.console = errTo.redirected ? nullptr : console;
    }
    return true;
}

void writeTo(const Destination &destination, std::ostream &stream, const std::string &line) {
    if (destination.redirected) {
        stream << line << std::endl; // UTF-8 bytes, as a file or pipe wants them
        return;
    }
    if (!destination.console)
        return;
    const int size = MultiByteToWideChar(CP_UTF8, 0, line.data(), int(line.size()), nullptr, 0);
    std::wstring wide(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.data(), int(line.size()), wide.data(), size);
    wide += L"\r\n";
    DWORD written = 0;
    WriteConsoleW(destination.console, wide.data(), DWORD(wide.size()), &written, nullptr);
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
            stream == Log::Stream::Out ? writeTo(outTo, std::cout, line)
                                       : writeTo(errTo, std::cerr, line);
        if (file->is_open())
            *file << line << std::endl;
    });
    if (!path.isEmpty())
        Log::out("[Application] Log file: ", path);
}

} // namespace Kelvane
