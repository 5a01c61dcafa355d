#include "Settings.h"

#include "Log.h"
#include "SecretStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>
#include <memory>

namespace Kelvane {

const QString Settings::AsrAppId = QStringLiteral("asr/appId");
const QString Settings::AsrAccessToken = QStringLiteral("asr/accessToken");
const QString Settings::AsrResourceId = QStringLiteral("asr/resourceId");
const QString Settings::AsrUrl = QStringLiteral("asr/url");
const QString Settings::AsrHotwords = QStringLiteral("asr/hotwords");
const QString Settings::LlmApiKey = QStringLiteral("llm/apiKey");
const QString Settings::LlmUrl = QStringLiteral("llm/url");
const QString Settings::LlmModel = QStringLiteral("llm/model");
const QString Settings::LlmThinking = QStringLiteral("llm/thinking");
const QString Settings::LlmEarlyRequest = QStringLiteral("llm/earlyRequest");
const QString Settings::AudioDevice = QStringLiteral("audio/device");
const QString Settings::AudioFollowPlaying = QStringLiteral("audio/followPlaying");
const QString Settings::Direction = QStringLiteral("ui/direction");
const QString Settings::SilenceMs = QStringLiteral("ui/silenceMs");
const QString Settings::ProfileResume = QStringLiteral("profile/resume");
const QString Settings::ProfileJobDescription = QStringLiteral("profile/jobDescription");
const QString Settings::LlmContextRounds = QStringLiteral("llm/contextRounds");
const QString Settings::AnswerNowHotkey = QStringLiteral("ui/answerNowHotkey");
const QString Settings::SkipHotkey = QStringLiteral("ui/skipHotkey");
const QString Settings::MergeHotkey = QStringLiteral("ui/mergeHotkey");
const QString Settings::PageUpHotkey = QStringLiteral("ui/pageUpHotkey");
const QString Settings::PageDownHotkey = QStringLiteral("ui/pageDownHotkey");
const QString Settings::OnTop = QStringLiteral("ui/onTop");
const QString Settings::Opacity = QStringLiteral("ui/opacity");
const QString Settings::Compact = QStringLiteral("ui/compact");
const QString Settings::Zoom = QStringLiteral("ui/zoom");
const QString Settings::UiTheme = QStringLiteral("ui/theme");

namespace {

struct Entry {
    const QString *key;
    const char *builtIn;
    const char *environment;
};

const Entry kEntries[] = {
    {&Settings::AsrAppId, "1234567890", "KELVANE_ASR_APP_ID"},
    {&Settings::AsrAccessToken, "kelvane_placeholder_access_token", "KELVANE_ASR_ACCESS_TOKEN"},
    {&Settings::AsrResourceId, "volc.bigasr.sauc.duration", "KELVANE_ASR_RESOURCE_ID"},
    {&Settings::AsrUrl, "wss://openspeech.bytedance.com/api/v3/sauc/bigmodel", "KELVANE_ASR_URL"},
    {&Settings::AsrHotwords, "", nullptr},
    {&Settings::LlmApiKey, "sk-00000000000000000000000000000000", "KELVANE_LLM_API_KEY"},
    {&Settings::LlmUrl, "https://api.deepseek.com/v1/chat/completions", "KELVANE_LLM_URL"},
    {&Settings::LlmModel, "deepseek-flash", "KELVANE_LLM_MODEL"},
    {&Settings::LlmThinking, "false", nullptr},
    {&Settings::LlmEarlyRequest, "true", "KELVANE_EARLY_REQUEST"},
    {&Settings::AudioDevice, "", nullptr},
    {&Settings::AudioFollowPlaying, "false", nullptr},
    {&Settings::Direction, "Java后端", nullptr},
    {&Settings::SilenceMs, "1000", nullptr},
    {&Settings::ProfileResume, "", nullptr},
    {&Settings::ProfileJobDescription, "", nullptr},
    {&Settings::LlmContextRounds, "0", nullptr},
    // Taken by no common desktop, chat or meeting program (see the README).
    {&Settings::AnswerNowHotkey, "Ctrl+Alt+Return", nullptr},
    {&Settings::SkipHotkey, "Ctrl+Alt+Shift+S", nullptr},
    {&Settings::MergeHotkey, "Ctrl+Alt+Shift+M", nullptr},
    {&Settings::PageUpHotkey, "Ctrl+Alt+Shift+U", nullptr},
    {&Settings::PageDownHotkey, "Ctrl+Alt+Shift+D", nullptr},
    {&Settings::OnTop, "false", nullptr},
    {&Settings::Opacity, "100", nullptr},
    {&Settings::Compact, "false", nullptr},
    {&Settings::Zoom, "100", nullptr},
    {&Settings::UiTheme, "system", nullptr},
};

const Entry *entryOf(const QString &key) {
    for (const Entry &entry : kEntries)
        if (*entry.key == key)
            return &entry;
    return nullptr;
}

// The platform's own store (a file on Linux, the registry on Windows) unless a process chose
// another default format (the tests keep theirs in a private folder on every platform).
QSettings *openStore() {
    return new QSettings(QSettings::defaultFormat(), QSettings::UserScope,
                         QStringLiteral("Kelvane"), QStringLiteral("Kelvane"));
}

bool isFile(const QString &path) {
    return path.endsWith(QLatin1String(".conf")) || path.endsWith(QLatin1String(".ini"));
}

} // namespace

QStringList Settings::keys() {
    QStringList all;
    for (const Entry &entry : kEntries)
        all.append(*entry.key);
    return all;
}

QString Settings::builtIn(const QString &key) {
    const Entry *entry = entryOf(key);
    return entry ? QString::fromUtf8(entry->builtIn) : QString();
}

QString Settings::environmentVariable(const QString &key) {
    const Entry *entry = entryOf(key);
    return entry && entry->environment ? QString::fromLatin1(entry->environment) : QString();
}

Settings Settings::load() {
    Settings settings;
    const std::unique_ptr<QSettings> store(openStore());
    const bool usable = store->status() == QSettings::NoError;
    if (!usable)
        Log::err("[Settings] Cannot use ", store->fileName(),
                 store->status() == QSettings::FormatError ? " (malformed)" : " (unreadable)",
                 ": built-in settings apply");
    for (const Entry &entry : kEntries) {
        QString value = QString::fromUtf8(entry.builtIn);
        if (usable && store->contains(*entry.key))
            value = store->value(*entry.key).toString();
        // A secret read from the keyring (or kept this run) wins over the file's copy.
        if (SecretStore::isSecret(*entry.key) && SecretStore::instance()->knows(*entry.key))
            value = SecretStore::instance()->value(*entry.key);
        if (entry.environment) {
            const QString fromEnvironment = qEnvironmentVariable(entry.environment);
            if (!fromEnvironment.isEmpty()) {
                value = fromEnvironment;
                settings.environment.insert(*entry.key);
            }
        }
        settings.values.insert(*entry.key, value);
    }
    return settings;
}

void Settings::save() const {
    const Settings before = load();
    for (const Entry &entry : kEntries) {
        if (fromEnvironment(*entry.key))
            continue;
        // Secrets go to the keyring (the file only where none answers), and only when changed.
        if (SecretStore::isSecret(*entry.key)) {
            if (value(*entry.key) != before.value(*entry.key))
                SecretStore::instance()->save(*entry.key, value(*entry.key));
            continue;
        }
        store(*entry.key, value(*entry.key));
    }
}

void Settings::store(const QString &key, const QString &value) {
    const std::unique_ptr<QSettings> store(openStore());
    // The file holds keys: only its owner may read it, from its very first byte on.
    const QString path = store->fileName();
    // (On Windows the store is the registry, not a file.)
    if (isFile(path) && !QFile::exists(path)) {
        QFile file(path);
        QFileInfo(path).dir().mkpath(QStringLiteral("."));
        if (file.open(QIODevice::WriteOnly))
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    store->setValue(key, value);
    store->sync();
    if (store->status() != QSettings::NoError)
        Log::err("[Settings] Cannot write ", path);
    // A save replaces the file, and a file from an older version may be readable by all.
    if (isFile(path) && QFile::exists(path))
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

QString Settings::stored(const QString &key) {
    const std::unique_ptr<QSettings> store(openStore());
    return store->status() == QSettings::NoError ? store->value(key).toString() : QString();
}

QString Settings::missingCredential() const {
    for (const QString *key : {&AsrAppId, &AsrAccessToken, &LlmApiKey})
        if (value(*key).trimmed().isEmpty())
            return *key;
    return QString();
}

QString Settings::credentialName(const QString &key) {
    if (key == AsrAppId)
        return QStringLiteral("识别服务的 App ID");
    if (key == AsrAccessToken)
        return QStringLiteral("识别服务的 Access Token");
    if (key == LlmApiKey)
        return QStringLiteral("对话服务的 API Key");
    return key;
}

bool Settings::needsCredentials() const {
    const bool realAsr = value(AsrUrl) == builtIn(AsrUrl);
    const bool realChat = value(LlmUrl) == builtIn(LlmUrl);
    return (realAsr && (value(AsrAppId) == builtIn(AsrAppId) ||
                        value(AsrAccessToken) == builtIn(AsrAccessToken))) ||
           (realChat && value(LlmApiKey) == builtIn(LlmApiKey));
}

QString maskedSecret(const QString &secret) {
    // A short secret shown in part would be shown almost whole.
    if (secret.size() <= 8)
        return QStringLiteral("****");
    return QStringLiteral("****") + secret.right(4);
}

QString maskedUrlSecrets(const QString &text) {
    return QString::fromStdString(Log::maskUrlSecrets(text.toStdString()));
}

bool Settings::isOn(const QString &value, bool otherwise) {
    const QString word = value.trimmed().toLower();
    for (const char *on : {"true", "1", "on", "yes"})
        if (word == QLatin1String(on))
            return true;
    for (const char *off : {"false", "0", "off", "no"})
        if (word == QLatin1String(off))
            return false;
    return otherwise;
}

int Settings::silenceMs(const QString &value) {
    bool ok = false;
    const int ms = value.trimmed().toInt(&ok);
    return ok ? std::clamp(ms, kMinSilenceMs, kMaxSilenceMs) : builtIn(SilenceMs).toInt();
}

} // namespace Kelvane
