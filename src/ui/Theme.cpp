#include "Theme.h"

#include <QGuiApplication>
#include <QStyleHints>

#include <algorithm>
#include <cmath>

namespace Kelvane {

namespace {

struct Entry {
    const char *token;
    const char *light;
    const char *dark;
};

// (longer tokens first: "@textOnAccent" is replaced before "@text")
const Entry kColours[] = {
    {"textOnAccent", "#ffffff", "#ffffff"}, {"accentText", "#0a6b3d", "#7ee2a8"},
    {"accentHover", "#156b3b", "#176338"},  {"accent", "#1b7f46", "#1f7a45"},
    {"selection", "#e8f7ed", "#21402e"},    {"window", "#f7f7f7", "#1e1f22"},
    {"panel", "#ffffff", "#26272b"},        {"text", "#111111", "#e8e8e8"},
    {"secondary", "#4d4d4d", "#b8bcc4"},    {"muted", "#5f6368", "#a0a4ab"},
    {"border", "#dcdcdc", "#3a3b40"},       {"hover", "#f0f0f0", "#303136"},
    {"disabled", "#9a9a9a", "#6b6e75"},     {"warning", "#8a5300", "#f0b45a"},
    {"failure", "#b3261e", "#ff8a80"},      {"ok", "#1a7f37", "#7ee2a8"},
    {"keyword", "#7a3e9d", "#d3a6f2"},      {"string", "#0b6e37", "#a5d6a7"},
    {"comment", "#5f6368", "#9aa0a6"},      {"number", "#9a4d00", "#f7b267"},
};

double luminance(const QColor &colour) {
    const auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
           0.0722 * channel(colour.blueF());
}

} // namespace

Theme::Scheme Theme::schemeFor(const QString &setting) {
    if (setting == QLatin1String("dark"))
        return Scheme::Dark;
    if (setting != QLatin1String("system"))
        return Scheme::Light;
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    if (QGuiApplication::styleHints()->colorScheme() != Qt::ColorScheme::Unknown)
        return QGuiApplication::styleHints()->colorScheme() == Qt::ColorScheme::Dark
                   ? Scheme::Dark
                   : Scheme::Light;
#endif
    // Without a reported scheme, the platform's own palette tells.
    const QPalette platform = QGuiApplication::palette();
    return platform.color(QPalette::Window).lightness() <
                   platform.color(QPalette::WindowText).lightness()
               ? Scheme::Dark
               : Scheme::Light;
}

Theme Theme::of(Scheme scheme) {
    Theme theme;
    theme.scheme_ = scheme;
    for (const Entry &entry : kColours)
        theme.colours.insert(
            QString::fromLatin1(entry.token),
            QColor(QString::fromLatin1(scheme == Scheme::Dark ? entry.dark : entry.light)));
    return theme;
}

QString Theme::css(const QString &styleTemplate) const {
    QString css = styleTemplate;
    for (const Entry &entry : kColours)
        css.replace(QLatin1Char('@') + QLatin1String(entry.token),
                    colours.value(QString::fromLatin1(entry.token)).name());
    return css;
}

QPalette Theme::palette() const {
    QPalette palette;
    palette.setColor(QPalette::Window, colour("window"));
    palette.setColor(QPalette::WindowText, colour("text"));
    palette.setColor(QPalette::Base, colour("panel"));
    palette.setColor(QPalette::AlternateBase, colour("window"));
    palette.setColor(QPalette::Text, colour("text"));
    palette.setColor(QPalette::Button, colour("panel"));
    palette.setColor(QPalette::ButtonText, colour("text"));
    palette.setColor(QPalette::ToolTipBase, colour("panel"));
    palette.setColor(QPalette::ToolTipText, colour("text"));
    palette.setColor(QPalette::PlaceholderText, colour("muted"));
    palette.setColor(QPalette::Highlight, colour("accent"));
    palette.setColor(QPalette::HighlightedText, colour("textOnAccent"));
    palette.setColor(QPalette::Link, colour("accentText"));
    palette.setColor(QPalette::BrightText, colour("failure"));
    palette.setColor(QPalette::Disabled, QPalette::Text, colour("disabled"));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, colour("disabled"));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, colour("disabled"));
    return palette;
}

double Theme::contrast(const QColor &a, const QColor &b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QList<std::pair<QString, QString>> Theme::textPairs() {
    return {{"text", "panel"},
            {"text", "window"},
            {"secondary", "window"},
            {"muted", "window"},
            {"muted", "panel"},
            {"accentText", "selection"},
            {"textOnAccent", "accent"},
            {"textOnAccent", "accentHover"},
            {"warning", "window"},
            {"failure", "panel"},
            {"ok", "panel"},
            {"keyword", "panel"},
            {"string", "panel"},
            {"comment", "panel"},
            {"number", "panel"},
            {"accentText", "panel"},
            {"text", "hover"}};
}

} // namespace Kelvane
