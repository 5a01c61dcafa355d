#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Kelvane {

// The program's settings, kept between runs with QSettings (organisation and application
// "Kelvane": ~/.config/Kelvane/Kelvane.conf on Linux, HKCU\Software\Kelvane\Kelvane on
// Windows). Per value, a non-empty KELVANE_* environment variable wins over the saved value,
// which wins over the built-in default.
class Settings {
public:
    static const QString AsrAppId;              // "asr/appId"
    static const QString AsrAccessToken;        // "asr/accessToken"
    static const QString AsrResourceId;         // "asr/resourceId"
    static const QString AsrUrl;                // "asr/url"
    static const QString AsrHotwords;           // "asr/hotwords": 术语, one a line
    static const QString LlmApiKey;             // "llm/apiKey"
    static const QString LlmUrl;                // "llm/url"
    static const QString LlmModel;              // "llm/model"
    static const QString LlmThinking;           // "llm/thinking": "true" or "false"
    static const QString LlmEarlyRequest;       // "llm/earlyRequest": "true" or "false"
    static const QString AudioDevice;           // "audio/device": empty follows the system default
    static const QString AudioFollowPlaying;    // "audio/followPlaying": "true" or "false"
    static const QString Direction;             // "ui/direction"
    static const QString SilenceMs;             // "ui/silenceMs"
    static const QString ProfileResume;         // "profile/resume"
    static const QString ProfileJobDescription; // "profile/jobDescription"
    static const QString LlmContextRounds;      // "llm/contextRounds": 0 to 5 earlier questions
    static const QString AnswerNowHotkey; // "ui/answerNowHotkey": 立即回答 from any program
    static const QString SkipHotkey;      // "ui/skipHotkey": 跳过
    static const QString MergeHotkey;     // "ui/mergeHotkey": 合并
    static const QString PageUpHotkey;    // "ui/pageUpHotkey": the answer a page up
    static const QString PageDownHotkey;  // "ui/pageDownHotkey": … and down
    static const QString OnTop;           // "ui/onTop": 置顶, "true" or "false"
    static const QString Opacity;         // "ui/opacity": 透明度, 40 to 100 (percent)
    static const QString Compact;         // "ui/compact": 精简模式, "true" or "false"
    static const QString Zoom;            // "ui/zoom": the answer's size in percent
    static const QString UiTheme;         // "ui/theme": "light", "dark" or "system"

    static QStringList keys();
    static QString builtIn(const QString &key);
    // The environment variable that overrides a key, or an empty string.
    static QString environmentVariable(const QString &key);

    // Never fails: an unreadable or malformed file leaves the built-in defaults (and a log line).
    static Settings load();
    // Writes every value that did not come from the environment.
    void save() const;
    // Writes one value at once (the window remembers what is typed).
    static void store(const QString &key, const QString &value);
    // A value kept under a key of the program's own making (the window's place per screen
    // setup); empty when none.
    static QString stored(const QString &key);

    QString value(const QString &key) const { return values.value(key); }
    void setValue(const QString &key, const QString &value) { values.insert(key, value); }
    bool fromEnvironment(const QString &key) const { return environment.contains(key); }

    // An on/off value as people write it: true/false, 1/0, on/off, yes/no in any case;
    // anything else is `otherwise`.
    static bool isOn(const QString &value, bool otherwise);
    // The silence threshold in use for a typed value: clamped to a sane range.
    static constexpr int kMinSilenceMs = 100;
    static constexpr int kMaxSilenceMs = 10000;
    static int silenceMs(const QString &value);

    // The first credential that is empty (app id, access token, API key), or an empty string.
    QString missingCredential() const;
    // What a credential is, for people: "识别服务的 App ID" and so on.
    static QString credentialName(const QString &key);

    // The credentials are still the built-in placeholders while the endpoints are the real
    // services: connecting could only fail.
    bool needsCredentials() const;

private:
    QMap<QString, QString> values;
    QSet<QString> environment;
};

// "****" and the last four characters: enough to tell keys apart, never enough to use one.
// A secret of eight characters or fewer is masked whole.
QString maskedSecret(const QString &secret);
// Text with every URL's user info and key-like query values masked.
QString maskedUrlSecrets(const QString &text);

} // namespace Kelvane
