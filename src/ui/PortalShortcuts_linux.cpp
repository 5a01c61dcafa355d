#include "PortalShortcuts_linux.h"

#include "Log.h"
#include "ShortcutKeys.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

// One entry of BindShortcuts' a(sa{sv}): the shortcut's id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace Kelvane {

PortalShortcuts::PortalShortcuts(QObject *parent)
    : QObject(parent) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    QDBusConnection::sessionBus().connect(
        kService, kPath, kInterface, QStringLiteral("Activated"), this,
        SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
}

PortalShortcuts::~PortalShortcuts() {
    closeSession();
}

void PortalShortcuts::closeSession() {
    if (sessionHandle.isEmpty())
        return;
    QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
        kService, sessionHandle, QStringLiteral("org.freedesktop.portal.Session"),
        QStringLiteral("Close")));
    sessionHandle.clear();
}

void PortalShortcuts::bind(const QList<GlobalShortcuts::Shortcut> &shortcuts) {
    wanted = shortcuts;
    // A session binds once: new shortcuts need a new session.
    closeSession();
    creating = true;
    request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), QStringLiteral("kelvane%1").arg(++tokens)}});
}

// The answer to a portal call comes on a Request object whose path the caller can know before
// calling: subscribe first, so that no answer is missed.
bool PortalShortcuts::request(const QString &method, QList<QVariant> arguments,
                              QVariantMap options) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        failAll(QStringLiteral("没有会话总线，桌面无法提供全局快捷键"));
        return false;
    }
    const QString token = QStringLiteral("kelvane_request%1").arg(++tokens);
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    if (!pendingRequest.isEmpty())
        bus.disconnect(kService, pendingRequest, QStringLiteral("org.freedesktop.portal.Request"),
                       QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
    pendingRequest = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    bus.connect(kService, pendingRequest, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
    options.insert(QStringLiteral("handle_token"), token);
    arguments.append(options);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [this, method](QDBusPendingCallWatcher *finished) {
            finished->deleteLater();
            if (!finished->isError())
                return;
            Log::err("[GlobalShortcuts] Portal ", method, " failed: ", finished->error().message());
            failAll(QStringLiteral("此桌面不提供全局快捷键（%1）").arg(finished->error().name()));
        });
    return true;
}

void PortalShortcuts::failAll(const QString &why) {
    QMap<QString, QString> problems;
    for (const GlobalShortcuts::Shortcut &shortcut : wanted)
        problems.insert(shortcut.id, why);
    emit bound(problems);
}

void PortalShortcuts::onResponse(uint response, const QVariantMap &results) {
    if (response != 0) {
        failAll(response == 1 ? QStringLiteral("已在桌面的对话框中取消")
                              : QStringLiteral("桌面拒绝了全局快捷键"));
        return;
    }
    if (creating) {
        creating = false;
        sessionHandle = results.value(QStringLiteral("session_handle")).toString();
        QList<PortalShortcut> shortcuts;
        for (const GlobalShortcuts::Shortcut &shortcut : wanted) {
            QVariantMap properties{{QStringLiteral("description"), shortcut.description}};
            const QString trigger =
                shortcut.keys.isEmpty() ? QString() : ShortcutKeys::portalTrigger(shortcut.keys[0]);
            if (!trigger.isEmpty())
                properties.insert(QStringLiteral("preferred_trigger"), trigger);
            shortcuts.append({shortcut.id, properties});
        }
        request(QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(sessionHandle)),
                 QVariant::fromValue(shortcuts), QString()},
                {});
        return;
    }
    // The shortcuts the desktop took, each with the keys the user confirmed.
    QList<PortalShortcut> taken;
    results.value(QStringLiteral("shortcuts")).value<QDBusArgument>() >> taken;
    QMap<QString, QString> problems;
    for (const GlobalShortcuts::Shortcut &shortcut : wanted)
        problems.insert(shortcut.id, QStringLiteral("桌面没有接受这个快捷键"));
    for (const PortalShortcut &shortcut : taken) {
        problems.insert(shortcut.id, QString());
        Log::out("[GlobalShortcuts] Portal bound ", shortcut.id, " to ",
                 shortcut.properties.value(QStringLiteral("trigger_description")).toString());
    }
    emit bound(problems);
}

void PortalShortcuts::onActivated(const QDBusObjectPath &session, const QString &id, qulonglong,
                                  const QVariantMap &) {
    if (session.path() == sessionHandle)
        emit activated(id);
}

} // namespace Kelvane
