#include "Application.h"
#include "Log.h"
#include "MainWindow.h"
#include "TerminationSignals.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    using namespace Kelvane;

    int result = 0;
    {
        QApplication app(argc, argv);
        quitOnTerminationSignals(app);

        Log::out("=== Kelvane - AI Interview Assistant ===");
        Log::out("Version 1.0.0");
        Log::out("=========================================");

        Application controller;
        if (!controller.initialize()) {
            Log::err("Failed to initialize application");
            result = 1;
        } else {
            MainWindow window;
            window.setApplication(&controller);
            window.show();
            Log::out("Application initialized successfully");
            result = app.exec();
        }
    }
    shutdownFinished();
    return result;
}
