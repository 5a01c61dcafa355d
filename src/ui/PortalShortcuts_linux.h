#pragma once

#include "GlobalShortcuts.h"

#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

namespace Kelvane {

// Global shortcuts on Wayland, through the desktop portal's GlobalShortcuts interface on the
// session bus (KDE Plasma, GNOME 48 and later): a session, the shortcuts bound to it (the
// desktop may ask the user first), and its Activated signal.
class PortalShortcuts : public QObject {
    Q_OBJECT

public:
    explicit PortalShortcuts(QObject *parent = nullptr);
    ~PortalShortcuts() override;

    // Asks for these shortcuts; the answer comes as bound().
    void bind(const QList<GlobalShortcuts::Shortcut> &shortcuts);

signals:
    void activated(const QString &id);
    // For each shortcut asked for: empty when the desktop took it, else why not.
    void bound(const QMap<QString, QString> &problems);

private slots:
    void onResponse(uint response, const QVariantMap &results);
    void onActivated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                     const QVariantMap &options);

private:
    // Calls a portal method whose answer comes as a Request's Response signal.
    bool request(const QString &method, QList<QVariant> arguments, QVariantMap options);
    void failAll(const QString &why);
    void closeSession();

    QList<GlobalShortcuts::Shortcut> wanted;
    QString sessionHandle;
    QString pendingRequest; // the Request object path whose Response is awaited
    bool creating = false;
    int tokens = 0;
};

} // namespace Kelvane
