#pragma once

#include <QColor>
#include <QList>
#include <QMap>
#include <QPalette>
#include <QString>

#include <utility>

namespace Kelvane {

// The window's colours, light or dark, and the style sheet written with them. Every colour
// text is drawn in stands at least 4.5:1 against what it is drawn on.
class Theme {
public:
    enum class Scheme { Light, Dark };

    // ui/theme: "light", "dark", or "system" (the platform's scheme where it reports one).
    static Scheme schemeFor(const QString &setting);
    static Theme of(Scheme scheme);

    Scheme scheme() const { return scheme_; }
    QColor colour(const QString &token) const { return colours.value(token); }
    // The template with every "@token" replaced by its colour.
    QString css(const QString &styleTemplate) const;
    QPalette palette() const;

    // WCAG's contrast ratio of two colours (1 to 21).
    static double contrast(const QColor &a, const QColor &b);
    // The pairs of tokens the window draws text with: foreground, background.
    static QList<std::pair<QString, QString>> textPairs();

private:
    Scheme scheme_ = Scheme::Light;
    QMap<QString, QColor> colours;
};

} // namespace Kelvane
