#include "WindowPlacement.h"

#include <QStringList>

#include <algorithm>

namespace Kelvane::WindowPlacement {

namespace {

// Enough of the window on a screen to take hold of it and drag it back.
constexpr int kGraspable = 120;

bool reachable(const QRect &window, const QList<QRect> &available) {
    const QRect titleBar(window.topLeft(), QSize(window.width(), 40));
    return std::any_of(available.begin(), available.end(), [&](const QRect &screen) {
        const QRect seen = screen.intersected(titleBar);
        return seen.width() >= std::min(kGraspable, window.width()) && seen.height() > 0;
    });
}

} // namespace

QString setupName(const QList<QRect> &screens) {
    QStringList parts;
    for (const QRect &screen : screens)
        parts << QStringLiteral("%1x%2+%3+%4")
                     .arg(screen.width())
                     .arg(screen.height())
                     .arg(screen.x())
                     .arg(screen.y());
    return parts.join(QLatin1Char('_'));
}

QRect place(const QRect &saved, const QList<QRect> &available, const QRect &primary,
            const QSize &fallback) {
    if (saved.isValid() && reachable(saved, available))
        return saved;
    // On the primary screen, as large as it was where that fits, centred.
    const QSize size = (saved.isValid() ? saved.size() : fallback).boundedTo(primary.size());
    QRect placed(QPoint(), size);
    placed.moveCenter(primary.center());
    return placed;
}

QString toText(const QRect &rect) {
    return QStringLiteral("%1,%2,%3,%4")
        .arg(rect.x())
        .arg(rect.y())
        .arg(rect.width())
        .arg(rect.height());
}

QRect fromText(const QString &text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return QRect();
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return QRect();
    }
    return QRect(values[0], values[1], values[2], values[3]);
}

} // namespace Kelvane::WindowPlacement
