#include "Application.h"
#include "Log.h"
#include "MainWindow.h"
#include "ProcessOutput.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[]) {
    using namespace Kelvane;

    int result = 0;
    QApplication app(argc, argv);
    // Starts, shows the window and quits: what a package check runs to see that every library
    // and plugin the program needs is there.
    const bool smokeTest = app.arguments().contains(QStringLiteral("--smoke-test"));
    setUpProcessOutput();
    quitOnTerminationSignals(app);

    Log::out("=== Kelvane - AI Interview Assistant ===");
    Log::out("Version 1.0.0");
    Log::out("=========================================");

    {
        Application controller;
        // At logoff or system shutdown a GUI process hears no console event: the orderly stop
        // (capture ended, session closed) runs within Qt's end-of-session handling instead.
        QObject::connect(&app, &QCoreApplication::aboutToQuit, &controller,
                         &Application::stopListening);
        if (!controller.initialize()) {
            Log::err("Failed to initialize application");
            result = 1;
        } else {
            MainWindow window;
            window.setApplication(&controller);
            window.show();
            Log::out("Application initialized successfully");
            if (smokeTest)
                QTimer::singleShot(0, &app, &QCoreApplication::quit);
            result = app.exec();
        }
    }
    shutdownFinished();
    // The console handler reaches for the application object: gone before it is.
    stopHandlingTerminationSignals();
    return result;
}
