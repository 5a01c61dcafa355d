// kelvane-screenshot FILE [WINDOW [WIDTH]]: saves the X screen, or one window of it (its X
// id, decimal or 0x…), as a PNG, scaled down to WIDTH pixels where it is wider.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <iostream>

int main(int argc, char *argv[]) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: kelvane-screenshot FILE.png [WINDOW [WIDTH]]" << std::endl;
        return 2;
    }
    bool ok = true;
    const WId window = argc > 2 ? WId(QByteArray(argv[2]).toULongLong(&ok, 0)) : 0;
    const int width = argc > 3 ? QByteArray(argv[3]).toInt() : 0;
    QScreen *screen = QGuiApplication::primaryScreen();
    QPixmap shot = ok && screen ? screen->grabWindow(window) : QPixmap();
    if (width > 0 && shot.width() > width)
        shot = shot.scaledToWidth(width, Qt::SmoothTransformation);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::cerr << "kelvane-screenshot: could not grab the screen" << std::endl;
        return 1;
    }
    return 0;
}
