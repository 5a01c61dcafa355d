#include "GlobalHotkey.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <windows.h>

namespace Kelvane {

namespace {

constexpr int kHotkeyId = 0x4B01; // any id unique in this program

UINT virtualKey(Qt::Key key) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return UINT('A' + (key - Qt::Key_A));
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return UINT('0' + (key - Qt::Key_0));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return UINT(VK_F1 + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return VK_RETURN;
    case Qt::Key_Space:
        return VK_SPACE;
    default:
        return 0;
    }
}

} // namespace

// Qt hands the window procedure's messages, and the queue's, to native event filters.
struct GlobalHotkey::Native : QAbstractNativeEventFilter {
    GlobalHotkey *owner = nullptr;
    HWND window = nullptr;
    bool registered = false;

    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override {
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message == WM_HOTKEY && msg->hwnd == window && msg->wParam == WPARAM(kHotkeyId)) {
            emit owner->activated();
            return true;
        }
        return false;
    }
};

GlobalHotkey::GlobalHotkey(QWidget *window)
    : QObject(window)
    , native(std::make_unique<Native>()) {
    native->owner = this;
    native->window = reinterpret_cast<HWND>(window->winId());
    QCoreApplication::instance()->installNativeEventFilter(native.get());
}

GlobalHotkey::~GlobalHotkey() {
    if (native->registered)
        UnregisterHotKey(native->window, kHotkeyId);
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeNativeEventFilter(native.get());
}

bool GlobalHotkey::setShortcut(const QKeySequence &keys) {
    if (native->registered)
        UnregisterHotKey(native->window, kHotkeyId);
    native->registered = false;
    if (keys.isEmpty())
        return false;
    const QKeyCombination combination = keys[0];
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    UINT mods = MOD_NOREPEAT;
    if (modifiers & Qt::ControlModifier)
        mods |= MOD_CONTROL;
    if (modifiers & Qt::AltModifier)
        mods |= MOD_ALT;
    if (modifiers & Qt::ShiftModifier)
        mods |= MOD_SHIFT;
    if (modifiers & Qt::MetaModifier)
        mods |= MOD_WIN;
    const UINT vk = virtualKey(combination.key());
    if (vk == 0)
        return false;
    native->registered = RegisterHotKey(native->window, kHotkeyId, mods, vk) != 0;
    return native->registered;
}

} // namespace Kelvane
