#pragma once

#include <QMap>
#include <QObject>
#include <QString>

namespace Kelvane {

// The two secrets (the recogniser's access token, the chat API key) where the system keeps
// secrets: Windows Credential Manager, the Secret Service on Linux (GNOME Keyring, KWallet),
// the macOS Keychain. Where no store answers (a headless box), they stay in the settings file
// with its owner-only permissions, and where they are kept is said with why. The store is
// asked asynchronously: a keyring that first asks the user to unlock it freezes nothing.
class SecretStore : public QObject {
    Q_OBJECT

public:
    enum class Place { Default, Keyring, File, Environment };

    // The process's store (made on first use).
    static SecretStore *instance();
    static bool isSecret(const QString &key);

    // Reads the secrets from the store, and moves any found in the settings file (an earlier
    // version kept them there) into it: removed from the file only once the store confirmed
    // the write. ready() when every answer came.
    void load();
    // No answer of the store is awaited.
    bool isReady() const { return pending == 0; }
    // Keeps a secret: in the store, or in the file where the store refuses or none answers.
    void save(const QString &key, const QString &value);

    // A secret's value as read or saved this run; empty when not known here.
    bool knows(const QString &key) const { return values.contains(key); }
    QString value(const QString &key) const { return values.value(key); }
    Place place(const QString &key) const;
    // Where the secret is kept, in words for 设置 ("保存在系统钥匙串中" …).
    QString whereKept(const QString &key) const;
    // Forgets what this run read (a test's restart).
    void forget();

signals:
    void ready();
    // A secret was kept: in the store, or not (then why).
    void saved(const QString &key, bool inKeyring, const QString &why);

private:
    explicit SecretStore(QObject *parent = nullptr);
    void write(const QString &key, const QString &value, bool fromFile);
    void finishOne();
    static QString fileValue(const QString &key);
    static void setFileValue(const QString &key, const QString &value);

    QMap<QString, QString> values;
    QMap<QString, QString> refused; // key: why the store did not keep it
    int pending = 0;
    bool loaded = false;
};

} // namespace Kelvane
