#pragma once

class QCoreApplication;

namespace Kelvane {

// Makes Ctrl+C and a termination request end the event loop, so the normal shutdown runs.
void quitOnTerminationSignals(QCoreApplication &app);

} // namespace Kelvane
