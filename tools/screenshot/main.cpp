// kelvane-screenshot FILE: saves the whole X screen as a PNG.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <iostream>

int main(int argc, char *argv[]) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: kelvane-screenshot FILE.png" << std::endl;
        return 2;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || !screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::cerr << "kelvane-screenshot: could not grab the screen" << std::endl;
        return 1;
    }
    return 0;
}
