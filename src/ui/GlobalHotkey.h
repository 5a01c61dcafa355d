#pragma once

#include <QKeySequence>
#include <QObject>

#include <memory>

namespace Kelvane {

// A shortcut that works while another program (the meeting) has the focus. Windows has one
// (RegisterHotKey). Linux offers none: X11 would need a grab that other programs may hold, and
// Wayland lets no program watch keys meant for others; the window's own shortcut serves there.
class GlobalHotkey : public QObject {
    Q_OBJECT

public:
    explicit GlobalHotkey(QObject *parent = nullptr);
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
