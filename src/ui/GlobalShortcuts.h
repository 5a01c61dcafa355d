#pragma once

#include <QKeySequence>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <memory>

class QWidget;

namespace Kelvane {

// Shortcuts that work while another program (the meeting) has the focus: RegisterHotKey on
// Windows, a passive key grab on the X11 root window, the desktop portal's GlobalShortcuts on
// Wayland. Each is taken on its own: one that cannot be taken (another program holds it, or the
// desktop offers no way) does not stop the others, and says why.
class GlobalShortcuts : public QObject {
    Q_OBJECT

public:
    struct Shortcut {
        QString id;          // the settings key it is kept under
        QString description; // what it does, for the desktop's own list
        QKeySequence keys;   // its first combination is taken
    };

    // Taken for the window: on Windows the hot keys are the window's, so modal loops (moving
    // it, a file dialog) still hear them.
    explicit GlobalShortcuts(QWidget *window);
    ~GlobalShortcuts() override;

    // Replaces every shortcut taken before with these.
    void bind(const QList<Shortcut> &shortcuts);
    // Why the shortcut is not in effect; empty when it is (or while the desktop decides).
    QString problem(const QString &id) const { return problems.value(id); }

signals:
    void activated(const QString &id);
    // A problem came or went (a desktop may answer later, after asking the user).
    void problemsChanged();

private:
    struct Native;
    std::unique_ptr<Native> native;
    QMap<QString, QString> problems;
};

} // namespace Kelvane
