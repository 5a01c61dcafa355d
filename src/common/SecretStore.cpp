#include "SecretStore.h"

#include "Log.h"
#include "Settings.h"

#include <QSettings>
#include <qt6keychain/keychain.h>

#include <memory>

namespace Kelvane {

namespace {

const QString kService = QStringLiteral("Kelvane");

QString problemOf(const QKeychain::Job *job) {
    switch (job->error()) {
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        return QStringLiteral("系统没有可用的钥匙串服务");
    case QKeychain::AccessDeniedByUser:
        return QStringLiteral("钥匙串访问被拒绝（未解锁）");
    case QKeychain::AccessDenied:
        return QStringLiteral("钥匙串拒绝了访问");
    default:
        return QStringLiteral("钥匙串出错：") + job->errorString();
    }
}

std::unique_ptr<QSettings> settingsFile() {
    return std::make_unique<QSettings>(QSettings::defaultFormat(), QSettings::UserScope,
                                       QStringLiteral("Kelvane"), QStringLiteral("Kelvane"));
}

} // namespace

SecretStore *SecretStore::instance() {
    static SecretStore *store = new SecretStore();
    return store;
}

SecretStore::SecretStore(QObject *parent)
    : QObject(parent) {}

bool SecretStore::isSecret(const QString &key) {
    return key == Settings::AsrAccessToken || key == Settings::LlmApiKey;
}

QString SecretStore::fileValue(const QString &key) {
    return settingsFile()->value(key).toString();
}

void SecretStore::setFileValue(const QString &key, const QString &value) {
    if (value.isEmpty()) {
        const auto file = settingsFile();
        file->remove(key);
        file->sync();
    } else {
        Settings::store(key, value); // (owner-only permissions)
    }
}

void SecretStore::load() {
    loaded = true;
    for (const QString &key : {Settings::AsrAccessToken, Settings::LlmApiKey}) {
        ++pending;
        auto *job = new QKeychain::ReadPasswordJob(kService, this);
        job->setKey(key);
        connect(job, &QKeychain::Job::finished, this, [this, key](QKeychain::Job *done) {
            const QString inFile = fileValue(key);
            if (done->error() == QKeychain::NoError && inFile.isEmpty()) {
                values.insert(key, static_cast<QKeychain::ReadPasswordJob *>(done)->textData());
                refused.remove(key);
            } else if (done->error() == QKeychain::NoError ||
                       done->error() == QKeychain::EntryNotFound) {
                if (!inFile.isEmpty()) { // kept by an earlier version, or written by hand
                    Log::out("[Secrets] Moving ", key, " from the settings file to the keyring");
                    write(key, inFile, true);
                }
            } else {
                refused.insert(key, problemOf(done));
                Log::err("[Secrets] ", key, " stays in the settings file: ", refused.value(key));
            }
            finishOne();
        });
        job->start();
    }
}

void SecretStore::save(const QString &key, const QString &value) {
    values.insert(key, value); // (used from now on, whatever the store answers)
    if (value.isEmpty()) {
        auto *job = new QKeychain::DeletePasswordJob(kService, this);
        job->setKey(key);
        job->start();
        setFileValue(key, QString());
        return;
    }
    write(key, value, false);
}

// The file's copy goes only once the store has the secret; where it refuses, the file keeps it.
void SecretStore::write(const QString &key, const QString &value, bool fromFile) {
    ++pending;
    auto *job = new QKeychain::WritePasswordJob(kService, this);
    job->setKey(key);
    job->setTextData(value);
    connect(job, &QKeychain::Job::finished, this,
            [this, key, value, fromFile](QKeychain::Job *done) {
                if (done->error() == QKeychain::NoError) {
                    values.insert(key, value);
                    refused.remove(key);
                    setFileValue(key, QString());
                    Log::out("[Secrets] ", key, " kept in the keyring");
                    emit saved(key, true, QString());
                } else {
                    refused.insert(key, problemOf(done));
                    if (!fromFile)
                        setFileValue(key, value);
                    values.insert(key, value);
                    Log::err("[Secrets] ", key, " kept in the settings file: ", refused.value(key));
                    emit saved(key, false, refused.value(key));
                }
                finishOne();
            });
    job->start();
}

void SecretStore::finishOne() {
    if (--pending == 0)
        emit ready();
}

SecretStore::Place SecretStore::place(const QString &key) const {
    if (!qEnvironmentVariableIsEmpty(qPrintable(Settings::environmentVariable(key))))
        return Place::Environment;
    if (values.contains(key) && !refused.contains(key))
        return Place::Keyring;
    return fileValue(key).isEmpty() ? Place::Default : Place::File;
}

QString SecretStore::whereKept(const QString &key) const {
    switch (place(key)) {
    case Place::Environment:
        return QStringLiteral("由环境变量 %1 设置").arg(Settings::environmentVariable(key));
    case Place::Keyring:
        return QStringLiteral("保存在系统钥匙串中");
    case Place::File:
        return QStringLiteral("保存在设置文件中（仅本人可读）：%1")
            .arg(refused.value(key, QStringLiteral("尚未移入系统钥匙串")));
    case Place::Default:
        break;
    }
    return refused.contains(key)
               ? QStringLiteral("保存时将存入设置文件（仅本人可读）：") + refused.value(key)
               : QStringLiteral("保存时将存入系统钥匙串");
}

void SecretStore::forget() {
    values.clear();
    refused.clear();
    loaded = false;
}

} // namespace Kelvane
