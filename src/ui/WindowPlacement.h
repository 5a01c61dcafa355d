#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

namespace Kelvane {

// Where the window opens: where it was on this screen setup, unless that is no longer on any
// screen (a monitor unplugged), then on the primary screen. Plain functions.
namespace WindowPlacement {

// Names a screen setup by its screens' geometries, so each setup keeps its own place.
QString setupName(const QList<QRect> &screens);
// saved: the frame as it was (empty: never saved); available: each screen's usable area.
QRect place(const QRect &saved, const QList<QRect> &available, const QRect &primary,
            const QSize &fallback);
// "x,y,w,h" and back (an empty rect for anything else).
QString toText(const QRect &rect);
QRect fromText(const QString &text);

} // namespace WindowPlacement

} // namespace Kelvane
