#pragma once

class QCoreApplication;

namespace Kelvane {

// Makes Ctrl+C and a termination request end the event loop, so the normal shutdown runs.
void quitOnTerminationSignals(QCoreApplication &app);
// Says the orderly shutdown (capture stopped, session closed) is over; a console close on
// Windows waits for it before the process may end.
void shutdownFinished();
// Stops handling them; before the application object goes away.
void stopHandlingTerminationSignals();

} // namespace Kelvane
