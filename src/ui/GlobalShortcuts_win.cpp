#include "GlobalShortcuts.h"

#include "Log.h"
#include "ShortcutKeys.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QWidget>

#include <windows.h>

#include <vector>

namespace Kelvane {

namespace {

constexpr int kFirstHotkeyId = 0x4B01; // ids unique in this program

} // namespace

// Qt hands the window procedure's messages, and the queue's, to native event filters.
struct GlobalShortcuts::Native : QAbstractNativeEventFilter {
    GlobalShortcuts *owner = nullptr;
    HWND window = nullptr;
    std::vector<QString> registered; // index + kFirstHotkeyId is the hot key's id; "" for none

    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override {
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_HOTKEY || msg->hwnd != window)
            return false;
        const size_t index = size_t(msg->wParam) - kFirstHotkeyId;
        if (msg->wParam < WPARAM(kFirstHotkeyId) || index >= registered.size() ||
            registered[index].isEmpty())
            return false;
        emit owner->activated(registered[index]);
        return true;
    }

    void unregisterAll() {
        for (size_t i = 0; i < registered.size(); ++i)
            if (!registered[i].isEmpty())
                UnregisterHotKey(window, int(kFirstHotkeyId + i));
        registered.clear();
    }
};

GlobalShortcuts::GlobalShortcuts(QWidget *window)
    : QObject(window)
    , native(std::make_unique<Native>()) {
    native->owner = this;
    native->window = reinterpret_cast<HWND>(window->winId());
    QCoreApplication::instance()->installNativeEventFilter(native.get());
}

GlobalShortcuts::~GlobalShortcuts() {
    native->unregisterAll();
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeNativeEventFilter(native.get());
}

void GlobalShortcuts::bind(const QList<Shortcut> &shortcuts) {
    native->unregisterAll();
    problems.clear();
    for (const Shortcut &shortcut : shortcuts) {
        const int id = int(kFirstHotkeyId + native->registered.size());
        native->registered.push_back(QString());
        const ShortcutKeys::Native keys = shortcut.keys.isEmpty()
                                              ? ShortcutKeys::Native{}
                                              : ShortcutKeys::windows(shortcut.keys[0]);
        QString why;
        if (shortcut.keys.isEmpty())
            why = QStringLiteral("未设置");
        else if (!keys.key)
            why = QStringLiteral("不支持这个键");
        else if (!RegisterHotKey(native->window, id, UINT(keys.modifiers), UINT(keys.key))) {
            const DWORD error = GetLastError();
            why = error == ERROR_HOTKEY_ALREADY_REGISTERED
                      ? QStringLiteral("已被其他程序占用")
                      : QStringLiteral("无法注册（错误 %1）").arg(error);
        } else
            native->registered.back() = shortcut.id;
        if (!why.isEmpty())
            Log::err("[GlobalShortcuts] ", shortcut.id, ": ", why);
        problems.insert(shortcut.id, why);
    }
    emit problemsChanged();
}

} // namespace Kelvane
