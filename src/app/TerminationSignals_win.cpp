#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <windows.h>

namespace Kelvane {

namespace {

BOOL WINAPI onConsoleControl(DWORD) {
    // Runs on a thread of its own: hand the quit to the event loop.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    return TRUE;
}

} // namespace

void quitOnTerminationSignals(QCoreApplication &) {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

} // namespace Kelvane
