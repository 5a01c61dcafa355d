#include "Application.h"
#include "CommandChannel.h"
#include "Log.h"
#include "MainWindow.h"
#include "ProcessOutput.h"
#include "SecretStore.h"
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

    // kelvane --skip (and its kin) hands the action to the running Kelvane and ends; a second
    // plain kelvane brings the running window forward instead of a second capture.
    QString command;
    for (const char *action : {"answer-now", "skip", "merge", "show"})
        if (app.arguments().contains(QStringLiteral("--") + QLatin1String(action)))
            command = QLatin1String(action);
    if (!smokeTest) {
        QString reason;
        const int delivered =
            CommandClient::deliver(command.isEmpty() ? QStringLiteral("show") : command, &reason,
                                   command.isEmpty() ? 500 : 3000);
        if (delivered == 0 && command.isEmpty())
            Log::out("Kelvane is already running: its window was brought forward");
        if (delivered == 0 || !command.isEmpty()) {
            if (delivered != 0)
                Log::err(reason);
            return delivered;
        }
    }
    quitOnTerminationSignals(app);

    Log::out("=== Kelvane - AI Interview Assistant ===");
    Log::out("Version 1.0.0");
    Log::out("=========================================");
    // The keys come from the system's keyring meanwhile; nothing waits for them here.
    SecretStore::instance()->load();

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
            CommandServer commands(
                [&window](const QString &action) { return window.perform(action); });
            if (!smokeTest)
                commands.listen();
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
