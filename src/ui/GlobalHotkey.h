#pragma once

#include <QKeySequence>
#include <QObject>
#include <QWidget>

#include <memory>

namespace Kelvane {

// A shortcut that works while another program (the meeting) has the focus. Windows has one
// (RegisterHotKey). Linux offers none: X11 would need a grab that other programs may hold, and
// Wayland lets no program watch keys meant for others; the window's own shortcut serves there.
class GlobalHotkey : public QObject {
    Q_OBJECT

public:
    // Registered on the window (its child): WM_HOTKEY goes to its window procedure, which Qt
    // runs in modal loops too (moving the window, a file dialog), where a message posted to
    // the thread would be lost.
    explicit GlobalHotkey(QWidget *window);
    ~GlobalHotkey() override;

    // False when the platform has no global shortcuts or the keys are taken.
    bool setShortcut(const QKeySequence &keys);

signals:
    void activated();

private:
    struct Native;
    std::unique_ptr<Native> native;
};

} // namespace Kelvane
