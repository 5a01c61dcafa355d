#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <windows.h>

#include <atomic>

namespace Kelvane {

namespace {

// Set once the orderly shutdown is over. The console handler has no user data, so the
// event lives here.
HANDLE shutdownDone = nullptr;

std::atomic<bool> handling{false};

BOOL WINAPI onConsoleControl(DWORD event) {
    // Runs on a thread of its own: hand the quit to the event loop, while there is one.
    if (!handling.load())
        return FALSE;
    // The console is the one it was started from (it has none of its own): a Ctrl+C typed there
    // later is meant for another program, never for a running interview. Its window, closing
    // that console, logging off and shutting down still end it, in order.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    // For these, Windows ends the process as soon as the handler returns: wait (within the
    // about five seconds Windows allows) until capture stopped and the session was closed.
    if (shutdownDone &&
        (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT))
        WaitForSingleObject(shutdownDone, 4500);
    return TRUE;
}

} // namespace

void quitOnTerminationSignals(QCoreApplication &) {
    if (!shutdownDone)
        shutdownDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    handling.store(true);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void stopHandlingTerminationSignals() {
    handling.store(false);
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

void shutdownFinished() {
    if (shutdownDone)
        SetEvent(shutdownDone);
}

} // namespace Kelvane
