#include "SecretStore.h"
#include "Settings.h"
#include "TestSupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace Kelvane;

// The two secrets in the system's keyring: a real Secret Service (GNOME Keyring on a private
// session bus, tests/with-keyring.sh), or none at all.
class TestSecrets : public QObject {
    Q_OBJECT

    QTemporaryDir config;
    KelvaneTest::LogLines quiet;
    SecretStore *store = SecretStore::instance();

    // The settings file as it lies on disk.
    QByteArray file() const {
        QFile settings(
            QSettings(QSettings::IniFormat, QSettings::UserScope, "Kelvane", "Kelvane").fileName());
        return settings.open(QIODevice::ReadOnly) ? settings.readAll() : QByteArray();
    }
    // A start of the program: what the store holds is read anew.
    bool restart() {
        store->forget();
        QSignalSpy ready(store, &SecretStore::ready);
        store->load();
        return store->isReady() || ready.wait(10000);
    }
    bool save(const QString &key, const QString &value) {
        Settings settings = Settings::load();
        settings.setValue(key, value);
        QSignalSpy done(store, &SecretStore::ready);
        settings.save();
        return store->isReady() || done.wait(10000);
    }
    void requireKeyring(bool wanted) {
        if ((qEnvironmentVariable("KELVANE_KEYRING") == "1") != wanted)
            QSKIP(wanted ? "runs with a Secret Service (tests/with-keyring.sh)"
                         : "runs without any Secret Service");
    }

private slots:
    void initTestCase() {
        KelvaneTest::usePrivateSettings(config.path());
        for (const char *variable : {"KELVANE_LLM_API_KEY", "KELVANE_ASR_ACCESS_TOKEN"})
            qunsetenv(variable);
    }

    // Saved from 设置: in the keyring, never in the file, and there after a restart.
    void keptInTheKeyring() {
        requireKeyring(true);
        QVERIFY(save(Settings::LlmApiKey, "sk-kept-in-keyring-0001"));
        QVERIFY(save(Settings::AsrAccessToken, "token-kept-0002"));
        QVERIFY(!file().contains("kept"));
        QVERIFY(restart());
        QCOMPARE(Settings::load().value(Settings::LlmApiKey), "sk-kept-in-keyring-0001");
        QCOMPARE(Settings::load().value(Settings::AsrAccessToken), "token-kept-0002");
        QCOMPARE(store->place(Settings::LlmApiKey), SecretStore::Place::Keyring);
        QCOMPARE(store->whereKept(Settings::LlmApiKey), QStringLiteral("保存在系统钥匙串中"));
        qputenv("KELVANE_LLM_API_KEY", "sk-from-environment"); // the environment wins over both
        QCOMPARE(Settings::load().value(Settings::LlmApiKey), "sk-from-environment");
        QVERIFY(store->whereKept(Settings::LlmApiKey).contains("KELVANE_LLM_API_KEY"));
        qunsetenv("KELVANE_LLM_API_KEY");
    }

    // A key an earlier version left in the file moves to the keyring at the first start, and
    // leaves the file only once the keyring has it.
    void movedFromTheFile() {
        requireKeyring(true);
        Settings::store(Settings::LlmApiKey, "sk-from-an-old-file-0003");
        QVERIFY(file().contains("sk-from-an-old-file-0003"));
        QVERIFY(restart());
        QVERIFY(!file().contains("sk-from-an-old-file"));
        QVERIFY(restart());
        QCOMPARE(Settings::load().value(Settings::LlmApiKey), "sk-from-an-old-file-0003");
    }

    // The keyring refuses (locked, nobody unlocks it): the key stays in the file, nothing is
    // lost, and 设置 says why.
    void refusedKeepsTheFile() {
        requireKeyring(true);
        QCOMPARE(
            QProcess::execute("gdbus", {"call", "--session", "--dest", "org.freedesktop.secrets",
                                        "--object-path", "/org/freedesktop/secrets", "--method",
                                        "org.freedesktop.Secret.Service.Lock",
                                        "['/org/freedesktop/secrets/collection/login']"}),
            0);
        QVERIFY(save(Settings::LlmApiKey, "sk-refused-by-a-locked-keyring"));
        QVERIFY(file().contains("sk-refused-by-a-locked-keyring"));
        QCOMPARE(Settings::load().value(Settings::LlmApiKey), "sk-refused-by-a-locked-keyring");
        QCOMPARE(store->place(Settings::LlmApiKey), SecretStore::Place::File);
        QVERIFY(store->whereKept(Settings::LlmApiKey).startsWith("保存在设置文件中"));
    }

    // No Secret Service at all: today's file, owner-only, and 设置 says so.
    void noStore() {
        requireKeyring(false);
        QVERIFY(restart());
        QVERIFY(save(Settings::LlmApiKey, "sk-no-store-here-0004"));
        QVERIFY(file().contains("sk-no-store-here-0004"));
        QVERIFY(restart());
        QCOMPARE(Settings::load().value(Settings::LlmApiKey), "sk-no-store-here-0004");
        QCOMPARE(store->place(Settings::LlmApiKey), SecretStore::Place::File);
        QVERIFY2(store->whereKept(Settings::LlmApiKey).contains("钥匙串"),
                 qPrintable(store->whereKept(Settings::LlmApiKey)));
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "tst_secrets.moc"
