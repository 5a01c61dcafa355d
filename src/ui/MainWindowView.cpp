#include "MainWindow.h"

#include "AnswerReader.h"
#include "Settings.h"
#include "Theme.h"
#include "WindowPlacement.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>

#include <algorithm>

// The window made for glancing at during a call: above the meeting, faded, compact, zoomed,
// themed, and back where it was.
namespace Kelvane {

namespace {

constexpr int kZoomStep = 10;
constexpr int kCompactZoomBonus = 20; // the answer a step larger where it is all there is
constexpr int kOpacityStep = 10;
constexpr int kMinOpacity = 40;

// Wayland lets no program keep itself above others or fade its own window.
bool platformPlacesWindows() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

void MainWindow::applyLook() {
    const Settings settings = Settings::load();
    const Theme theme = Theme::of(Theme::schemeFor(settings.value(Settings::UiTheme)));
    QApplication::setPalette(theme.palette());
    setStyleSheet(theme.css(windowStyle()));
    reader->setCodeColours(
        {theme.colour(QStringLiteral("keyword")), theme.colour(QStringLiteral("string")),
         theme.colour(QStringLiteral("comment")), theme.colour(QStringLiteral("number"))});
    zoomPercent = std::clamp(settings.value(Settings::Zoom).toInt(), AnswerReader::kMinZoom,
                             AnswerReader::kMaxZoom);
    reader->setZoom(zoomPercent + (compact ? kCompactZoomBonus : 0));
    setOpacityPercent(settings.value(Settings::Opacity).toInt());
    setOnTop(Settings::isOn(settings.value(Settings::OnTop), false));
    if (!platformPlacesWindows()) {
        onTopButton->setEnabled(false);
        onTopButton->setToolTip(QStringLiteral(
            "Wayland 不允许程序自己置顶：可在窗口菜单中选择“保持在其他窗口之上”（KDE），或用 "
            "QT_QPA_PLATFORM=xcb 启动 Kelvane"));
    } else {
        onTopButton->setToolTip(QStringLiteral("让窗口保持在会议窗口之上"));
    }
    renderedQuestionId = 0; // the answer drawn anew in the new colours
    refreshAnswerView();
}

void MainWindow::setOnTop(bool on) {
    const QSignalBlocker quiet(onTopButton);
    if (!platformPlacesWindows()) {
        onTopButton->setChecked(false);
        return; // (the setting stays for a desktop that lets it apply)
    }
    onTopButton->setChecked(on);
    if (bool(windowFlags() & Qt::WindowStaysOnTopHint) == on)
        return;
    Settings::store(Settings::OnTop, on ? QStringLiteral("true") : QStringLiteral("false"));
    const bool shown = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (shown)
        show(); // (changing the flag hides the window)
}

void MainWindow::setOpacityPercent(int percent) {
    percent = std::clamp(percent, kMinOpacity, 100);
    if (!platformPlacesWindows())
        return; // (the setting stays for a desktop that lets it apply)
    if (Settings::load().value(Settings::Opacity) != QString::number(percent))
        Settings::store(Settings::Opacity, QString::number(percent));
    setWindowOpacity(percent / 100.0);
}

void MainWindow::setCompact(bool on) {
    const QSignalBlocker quiet(compactButton);
    compactButton->setChecked(on);
    if (on == compact)
        return;
    savePlacement(); // (each mode keeps its own size)
    compact = on;
    Settings::store(Settings::Compact, on ? QStringLiteral("true") : QStringLiteral("false"));
    // Only the question, its answer and the status line with its meter.
    for (QWidget *part : {static_cast<QWidget *>(controlBar), leftPanel,
                          static_cast<QWidget *>(retryButton), static_cast<QWidget *>(timingLabel)})
        part->setVisible(!on);
    setMinimumSize(on ? QSize(360, 240) : QSize(960, 560));
    reader->setZoom(zoomPercent + (on ? kCompactZoomBonus : 0));
    restorePlacement();
}

void MainWindow::stepZoom(int steps) {
    zoomPercent = steps == 0 ? 100
                             : std::clamp(zoomPercent + steps * kZoomStep, AnswerReader::kMinZoom,
                                          AnswerReader::kMaxZoom);
    Settings::store(Settings::Zoom, QString::number(zoomPercent));
    reader->setZoom(zoomPercent + (compact ? kCompactZoomBonus : 0));
}

void MainWindow::setupWindowKeys() {
    const auto bind = [this](const QKeySequence &keys, auto &&act) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, act);
    };
    bind(QKeySequence(Qt::CTRL | Qt::Key_Equal), [this]() { stepZoom(1); });
    bind(QKeySequence(Qt::CTRL | Qt::Key_Plus), [this]() { stepZoom(1); });
    bind(QKeySequence(Qt::CTRL | Qt::Key_Minus), [this]() { stepZoom(-1); });
    bind(QKeySequence(Qt::CTRL | Qt::Key_0), [this]() { stepZoom(0); });
    bind(QKeySequence(Qt::CTRL | Qt::Key_J), [this]() { setCompact(!compact); });
    bind(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Up),
         [this]() { setOpacityPercent(int(windowOpacity() * 100 + 0.5) + kOpacityStep); });
    bind(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Down),
         [this]() { setOpacityPercent(int(windowOpacity() * 100 + 0.5) - kOpacityStep); });
    connect(reader, &AnswerReader::zoomStep, this, &MainWindow::stepZoom);
}

namespace {

QString placementKey(bool compact) {
    QList<QRect> screens;
    for (const QScreen *screen : QGuiApplication::screens())
        screens.append(screen->geometry());
    return QStringLiteral("window/") + WindowPlacement::setupName(screens) +
           (compact ? QStringLiteral("/compact") : QStringLiteral("/normal"));
}

} // namespace

void MainWindow::restorePlacement() {
    QList<QRect> available;
    for (const QScreen *screen : QGuiApplication::screens())
        available.append(screen->availableGeometry());
    const QScreen *primary = QGuiApplication::primaryScreen();
    const QRect room = primary ? primary->availableGeometry() : QRect(0, 0, 1200, 700);
    // 1,200 × 700 where the screen has room; a 1080p laptop at 150 % has 1,280 × 672.
    const QSize fallback = compact ? QSize(520, 460) : QSize(1200, 700);
    setGeometry(
        WindowPlacement::place(WindowPlacement::fromText(Settings::stored(placementKey(compact))),
                               available, room, fallback.expandedTo(minimumSize())));
}

void MainWindow::savePlacement() {
    if (!isVisible() || isMinimized() || isMaximized() || isFullScreen())
        return;
    Settings::store(placementKey(compact), WindowPlacement::toText(geometry()));
}

void MainWindow::moveEvent(QMoveEvent *event) {
    QMainWindow::moveEvent(event);
    placementSaver->start();
}

void MainWindow::resizeEvent(QResizeEvent *event) {
    QMainWindow::resizeEvent(event);
    placementSaver->start();
}

void MainWindow::closeEvent(QCloseEvent *event) {
    savePlacement();
    QMainWindow::closeEvent(event);
}

} // namespace Kelvane
