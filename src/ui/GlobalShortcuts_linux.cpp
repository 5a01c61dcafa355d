#include "GlobalShortcuts.h"

#include "Log.h"
#include "PortalShortcuts_linux.h"
#include "ShortcutKeys.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace Kelvane {

namespace {

// An xcb reply, freed with the C library as xcb asks.
template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T> Reply<T> reply(T *raw) {
    return Reply<T>(raw, &std::free);
}

constexpr uint8_t kBadAccess = 10; // the key is grabbed by another client

} // namespace

// On X11 a passive grab of each key (with every Caps Lock and Num Lock state) on the root
// window: the server sends the key to this client whichever window has the focus. On Wayland
// the desktop portal; elsewhere (offscreen, an unknown platform) nothing can be taken.
struct GlobalShortcuts::Native : QAbstractNativeEventFilter {
    struct Grab {
        QString id;
        xcb_keycode_t keycode = 0;
        uint16_t modifiers = 0;
    };

    GlobalShortcuts *owner = nullptr;
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    std::vector<Grab> grabs;
    std::unique_ptr<PortalShortcuts> portal;

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override {
        if (type != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & ~0x80) != XCB_KEY_PRESS)
            return false;
        const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
        if (press->event != root)
            return false;
        for (const Grab &grab : grabs) {
            if (grab.keycode == press->detail &&
                ShortcutKeys::x11WithoutLocks(press->state) == grab.modifiers) {
                emit owner->activated(grab.id);
                return true;
            }
        }
        return false;
    }

    xcb_keycode_t keycodeOf(uint32_t keysym) const {
        const xcb_setup_t *setup = xcb_get_setup(connection);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        const auto mapping = reply(xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, uint8_t(count)),
            nullptr));
        if (!mapping)
            return 0;
        const xcb_keysym_t *keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const int perKeycode = mapping->keysyms_per_keycode;
        for (int i = 0; i < count; ++i)
            for (int column = 0; column < std::min(perKeycode, 2); ++column)
                if (keysyms[i * perKeycode + column] == keysym)
                    return xcb_keycode_t(setup->min_keycode + i);
        return 0;
    }

    // Empty when taken, else why not.
    QString grab(const Shortcut &shortcut) {
        if (shortcut.keys.isEmpty())
            return QStringLiteral("未设置");
        const ShortcutKeys::Native keys = ShortcutKeys::x11(shortcut.keys[0]);
        const xcb_keycode_t keycode = keys.key ? keycodeOf(keys.key) : 0;
        if (!keycode)
            return QStringLiteral("键盘上没有这个键");
        std::vector<uint16_t> taken;
        for (const uint32_t lock : ShortcutKeys::x11LockVariants()) {
            const uint16_t mask = uint16_t(keys.modifiers | lock);
            const auto error = reply(xcb_request_check(
                connection, xcb_grab_key_checked(connection, 0, root, mask, keycode,
                                                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
            if (error) {
                for (const uint16_t done : taken)
                    xcb_ungrab_key(connection, keycode, root, done);
                return error->error_code == kBadAccess
                           ? QStringLiteral("已被其他程序占用")
                           : QStringLiteral("无法注册（X 错误 %1）").arg(error->error_code);
            }
            taken.push_back(mask);
        }
        grabs.push_back({shortcut.id, keycode, uint16_t(keys.modifiers)});
        return QString();
    }

    void ungrabAll() {
        for (const Grab &grab : grabs)
            for (const uint32_t lock : ShortcutKeys::x11LockVariants())
                xcb_ungrab_key(connection, grab.keycode, root, uint16_t(grab.modifiers | lock));
        if (connection)
            xcb_flush(connection);
        grabs.clear();
    }
};

GlobalShortcuts::GlobalShortcuts(QWidget *window)
    : QObject(window)
    , native(std::make_unique<Native>()) {
    native->owner = this;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) {
        if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
            native->connection = x11->connection();
            native->root = xcb_setup_roots_iterator(xcb_get_setup(native->connection)).data->root;
            QCoreApplication::instance()->installNativeEventFilter(native.get());
        }
    } else if (platform.startsWith(QLatin1String("wayland"))) {
        native->portal = std::make_unique<PortalShortcuts>();
        connect(native->portal.get(), &PortalShortcuts::activated, this,
                &GlobalShortcuts::activated);
        connect(native->portal.get(), &PortalShortcuts::bound, this,
                [this](const QMap<QString, QString> &found) {
                    problems = found;
                    emit problemsChanged();
                });
    }
}

GlobalShortcuts::~GlobalShortcuts() {
    if (native->connection) {
        native->ungrabAll();
        if (QCoreApplication *app = QCoreApplication::instance())
            app->removeNativeEventFilter(native.get());
    }
}

void GlobalShortcuts::bind(const QList<Shortcut> &shortcuts) {
    problems.clear();
    if (native->portal) {
        for (const Shortcut &shortcut : shortcuts) // (until the desktop answers)
            problems.insert(shortcut.id, QStringLiteral("正在向桌面申请…"));
        native->portal->bind(shortcuts);
    } else if (native->connection) {
        native->ungrabAll();
        for (const Shortcut &shortcut : shortcuts) {
            problems.insert(shortcut.id, native->grab(shortcut));
            if (!problems.value(shortcut.id).isEmpty())
                Log::err("[GlobalShortcuts] ", shortcut.id, " (",
                         shortcut.keys.toString(QKeySequence::PortableText),
                         "): ", problems.value(shortcut.id));
        }
        xcb_flush(native->connection);
    } else {
        for (const Shortcut &shortcut : shortcuts)
            problems.insert(
                shortcut.id,
                QStringLiteral("此桌面（%1）不提供全局快捷键，可在桌面设置中把快捷键绑定到 "
                               "kelvane 命令")
                    .arg(QGuiApplication::platformName()));
    }
    emit problemsChanged();
}

} // namespace Kelvane
