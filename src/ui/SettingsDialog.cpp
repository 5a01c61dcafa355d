#include "SettingsDialog.h"

#include "AudioPlatform.h"
#include "PromptBuilder.h"
#include "SecretStore.h"
#include "ServiceCheck.h"
#include "TextDecoding.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace Kelvane {

namespace {

QLabel *note(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #666666;"));
    return label;
}

} // namespace

SettingsDialog::SettingsDialog(const Settings &settings, const QString &noteText, QWidget *parent)
    : QDialog(parent)
    , values(settings)
    , check(new ServiceCheck(this)) {
    setWindowTitle(QStringLiteral("设置"));
    auto *layout = new QVBoxLayout(this);
    if (!noteText.isEmpty()) {
        QLabel *top = note(noteText, this);
        top->setObjectName(QStringLiteral("noteLabel"));
        layout->addWidget(top);
    }

    auto *asrGroup = new QGroupBox(QStringLiteral("识别服务"), this);
    auto *asrForm = new QFormLayout(asrGroup);
    asrAppId = addText(asrForm, QStringLiteral("App ID"), Settings::AsrAppId, "asrAppIdEdit");
    asrToken = addText(asrForm, QStringLiteral("Access Token"), Settings::AsrAccessToken,
                       "asrTokenEdit", true);
    asrResource =
        addChoice(asrForm, QStringLiteral("资源 ID"), Settings::AsrResourceId, "asrResourceCombo",
                  {QStringLiteral("volc.bigasr.sauc.duration（1.0 小时版）"),
                   QStringLiteral("volc.bigasr.sauc.concurrent（1.0 并发版）"),
                   QStringLiteral("volc.seedasr.sauc.duration（2.0 小时版）"),
                   QStringLiteral("volc.seedasr.sauc.concurrent（2.0 并发版）")});
    asrUrl = addText(asrForm, QStringLiteral("服务地址"), Settings::AsrUrl, "asrUrlEdit");
    hotwords = new QPlainTextEdit(values.value(Settings::AsrHotwords), asrGroup);
    hotwords->setObjectName(QStringLiteral("asrHotwordsEdit"));
    hotwords->setAccessibleName(QStringLiteral("术语"));
    hotwords->setPlaceholderText(
        QStringLiteral("每行一个，如 星河订单系统；简历和职位描述中的技术词会自动加入"));
    hotwords->setMaximumHeight(70);
    asrForm->addRow(QStringLiteral("术语"), hotwords);
    layout->addWidget(asrGroup);

    auto *llmGroup = new QGroupBox(QStringLiteral("对话服务"), this);
    auto *llmForm = new QFormLayout(llmGroup);
    llmKey = addText(llmForm, QStringLiteral("API Key"), Settings::LlmApiKey, "llmKeyEdit", true);
    llmUrl = addText(llmForm, QStringLiteral("服务地址"), Settings::LlmUrl, "llmUrlEdit");
    llmModel = addChoice(llmForm, QStringLiteral("模型"), Settings::LlmModel, "llmModelCombo",
                         {QStringLiteral("deepseek-flash")});
    auto *fetch = new QPushButton(QStringLiteral("获取模型列表"), llmGroup);
    fetch->setObjectName(QStringLiteral("fetchModelsButton"));
    fetch->setEnabled(!values.fromEnvironment(Settings::LlmModel));
    connect(fetch, &QPushButton::clicked, this, &SettingsDialog::fillModels);
    llmForm->addRow(QString(), fetch);
    llmThinking = new QCheckBox(QStringLiteral("深度思考（回答更慢）"), llmGroup);
    llmThinking->setObjectName(QStringLiteral("llmThinkingCheck"));
    llmThinking->setChecked(Settings::isOn(values.value(Settings::LlmThinking), false));
    llmForm->addRow(QString(), llmThinking);
    llmEarly =
        new QCheckBox(QStringLiteral("停顿时提前请求回答（更快，偶尔多花一次请求）"), llmGroup);
    llmEarly->setObjectName(QStringLiteral("llmEarlyCheck"));
    llmEarly->setChecked(Settings::isOn(values.value(Settings::LlmEarlyRequest), true));
    llmEarly->setEnabled(!values.fromEnvironment(Settings::LlmEarlyRequest));
    llmForm->addRow(QString(), llmEarly);
    layout->addWidget(llmGroup);

    auto *profileGroup = new QGroupBox(QStringLiteral("个人资料（可选）"), this);
    auto *profileForm = new QFormLayout(profileGroup);
    resume =
        addProfileText(profileForm, QStringLiteral("简历"), Settings::ProfileResume, "resumeEdit");
    jobDescription = addProfileText(profileForm, QStringLiteral("职位描述"),
                                    Settings::ProfileJobDescription, "jobDescriptionEdit");
    contextRounds = new QSpinBox(profileGroup);
    contextRounds->setObjectName(QStringLiteral("contextRoundsSpin"));
    contextRounds->setRange(0, PromptBuilder::kMaxContextRounds);
    contextRounds->setValue(values.value(Settings::LlmContextRounds).toInt());
    contextRounds->setAccessibleName(QStringLiteral("上下文轮数"));
    contextRounds->setToolTip(QStringLiteral("回答时带上之前几个问题和回答，追问时更连贯"));
    profileForm->addRow(QStringLiteral("上下文轮数"), contextRounds);
    layout->addWidget(profileGroup);

    auto *audioGroup = new QGroupBox(QStringLiteral("音频"), this);
    auto *audioForm = new QFormLayout(audioGroup);
    audioDevice = new QComboBox(audioGroup);
    audioDevice->setObjectName(QStringLiteral("audioDeviceCombo"));
    audioDevice->addItem(QStringLiteral("跟随系统默认输出"), QString());
    for (const OutputDevice &device : listOutputDevices())
        audioDevice->addItem(QString::fromStdString(device.name) +
                                 (device.playing ? QStringLiteral("（正在播放）") : QString()),
                             QString::fromStdString(device.id));
    const QString chosen = values.value(Settings::AudioDevice);
    if (!chosen.isEmpty() && audioDevice->findData(chosen) < 0)
        audioDevice->addItem(QStringLiteral("%1（当前不在）").arg(chosen), chosen);
    audioDevice->setCurrentIndex(std::max(0, audioDevice->findData(chosen)));
    audioForm->addRow(QStringLiteral("录制的播放设备"), audioDevice);
    audioFollow = new QCheckBox(QStringLiteral("自动跟随有声音的设备"), audioGroup);
    audioFollow->setObjectName(QStringLiteral("audioFollowCheck"));
    audioFollow->setToolTip(
        QStringLiteral("录制的设备一直没有声音、另一个播放设备有声音时，自动改录那个设备"));
    audioFollow->setChecked(Settings::isOn(values.value(Settings::AudioFollowPlaying), false));
    audioForm->addRow(QString(), audioFollow);
    layout->addWidget(audioGroup);
    layout->addWidget(makeShortcutGroup());

    auto *testRow = new QHBoxLayout();
    auto *test = new QPushButton(QStringLiteral("测试连接"), this);
    test->setObjectName(QStringLiteral("testButton"));
    connect(test, &QPushButton::clicked, this, &SettingsDialog::testConnections);
    testRow->addWidget(test);
    auto *results = new QVBoxLayout();
    asrResult = new QLabel(this);
    asrResult->setObjectName(QStringLiteral("asrResultLabel"));
    llmResult = new QLabel(this);
    llmResult->setObjectName(QStringLiteral("llmResultLabel"));
    for (QLabel *label : {asrResult, llmResult}) {
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        results->addWidget(label);
    }
    testRow->addLayout(results, 1);
    layout->addLayout(testRow);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Save)->setText(QStringLiteral("保存"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    buttons->setObjectName(QStringLiteral("dialogButtons"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(check, &ServiceCheck::recognitionChecked, asrResult,
            [this](bool, const QString &text) { asrResult->setText(text); });
    connect(check, &ServiceCheck::chatChecked, llmResult,
            [this](bool, const QString &text) { llmResult->setText(text); });
    connect(check, &ServiceCheck::modelsFetched, this,
            [this](const QStringList &models, const QString &error) {
                if (!error.isEmpty()) {
                    llmResult->setText(QStringLiteral("对话服务：") + error);
                    return;
                }
                const QString current = llmModel->currentText();
                llmModel->clear();
                llmModel->addItems(models);
                llmModel->setCurrentText(current);
                llmResult->setText(QStringLiteral("对话服务：%1 个模型").arg(models.size()));
            });
}

QLineEdit *SettingsDialog::addText(QFormLayout *form, const QString &label, const QString &key,
                                   const char *name, bool secret) {
    auto *edit = new QLineEdit(values.value(key), form->parentWidget());
    edit->setObjectName(QLatin1String(name));
    edit->setAccessibleName(label);
    // A built-in placeholder key is no value: the field shows empty, with where to find one.
    const QString hint = credentialHint(key);
    if (!hint.isEmpty()) {
        if (values.value(key) == Settings::builtIn(key) && !values.fromEnvironment(key))
            edit->clear();
        edit->setPlaceholderText(hint);
        edit->setAccessibleDescription(hint + QStringLiteral("（必填）"));
    }
    QWidget *field = edit;
    if (secret) {
        edit->setEchoMode(QLineEdit::Password);
        auto *row = new QWidget(form->parentWidget());
        auto *rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        auto *reveal = new QCheckBox(QStringLiteral("显示"), row);
        reveal->setObjectName(QLatin1String(name) + QStringLiteral("Reveal"));
        reveal->setAccessibleName(QStringLiteral("显示 ") + label);
        connect(reveal, &QCheckBox::toggled, edit, [edit](bool shown) {
            edit->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
        });
        rowLayout->addWidget(edit, 1);
        rowLayout->addWidget(reveal);
        field = row;
    }
    form->addRow(hint.isEmpty() ? label : label + QStringLiteral(" *"), field);
    if (values.fromEnvironment(key)) {
        edit->setReadOnly(true);
        noteEnvironment(form, edit, key);
    } else if (SecretStore::isSecret(key)) { // where it is kept, and why not in the keyring
        QLabel *kept = note(SecretStore::instance()->whereKept(key), form->parentWidget());
        kept->setObjectName(QLatin1String(name) + QStringLiteral("Place"));
        kept->setAccessibleName(kept->text());
        form->addRow(QString(), kept);
    }
    return edit;
}

QString SettingsDialog::credentialHint(const QString &key) {
    if (key == Settings::AsrAppId)
        return QStringLiteral("识别服务控制台中的 App ID");
    if (key == Settings::AsrAccessToken)
        return QStringLiteral("识别服务控制台中的 Access Token");
    if (key == Settings::LlmApiKey)
        return QStringLiteral("对话服务 API Key 页面中的密钥");
    return QString();
}

QPlainTextEdit *SettingsDialog::addProfileText(QFormLayout *form, const QString &label,
                                               const QString &key, const char *name) {
    auto *edit = new QPlainTextEdit(values.value(key), form->parentWidget());
    edit->setObjectName(QLatin1String(name));
    edit->setAccessibleName(label);
    edit->setPlaceholderText(QStringLiteral("可选：粘贴文字，或从文件载入"));
    edit->setMaximumHeight(90);
    auto *load = new QPushButton(QStringLiteral("从文件载入"), form->parentWidget());
    load->setObjectName(QLatin1String(name) + QStringLiteral("Load"));
    load->setAccessibleName(QStringLiteral("从文件载入") + label);
    auto *read = note(QString(), form->parentWidget());
    read->setObjectName(QLatin1String(name) + QStringLiteral("Encoding"));
    read->hide();
    connect(load, &QPushButton::clicked, this, [this, edit, label, read]() {
        const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("载入") + label, QString(), QStringLiteral("文本 (*.txt *.md)"));
        if (path.isEmpty())
            return;
        // Which encoding was used: a wrong guess shows as garbled text the user can recognise.
        const QString encoding = loadProfileFile(edit, path);
        read->setText(encoding.isEmpty() ? QStringLiteral("无法读取该文件")
                                         : QStringLiteral("已按 %1 编码读取").arg(encoding));
        read->show();
    });
    auto *cut = note(QString(), form->parentWidget());
    cut->setObjectName(QLatin1String(name) + QStringLiteral("Note"));
    // Never cut silently: say what is sent when the text is longer than that.
    const auto tell = [edit, cut, label]() {
        const int size = int(edit->toPlainText().trimmed().size());
        cut->setText(size > PromptBuilder::kMaxProfileChars
                         ? QStringLiteral("%1共 %2 字，只发送前 %3 字")
                               .arg(label)
                               .arg(size)
                               .arg(PromptBuilder::kMaxProfileChars)
                         : QString());
        cut->setVisible(!cut->text().isEmpty());
    };
    connect(edit, &QPlainTextEdit::textChanged, cut, tell);
    tell();
    auto *column = new QVBoxLayout();
    column->addWidget(edit);
    auto *row = new QHBoxLayout();
    row->addWidget(cut, 1);
    row->addWidget(read);
    row->addWidget(load);
    column->addLayout(row);
    form->addRow(label, column);
    return edit;
}

QString SettingsDialog::loadProfileFile(QPlainTextEdit *edit, const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const DecodedText decoded = decodeText(file.read(4 * 1024 * 1024));
    edit->setPlainText(decoded.text);
    return decoded.encoding;
}

QComboBox *SettingsDialog::addChoice(QFormLayout *form, const QString &label, const QString &key,
                                     const char *name, const QStringList &choices) {
    auto *combo = new QComboBox(form->parentWidget());
    combo->setObjectName(QLatin1String(name));
    combo->setAccessibleName(label);
    combo->setEditable(true);
    combo->addItems(choices);
    // A choice may carry its name after the value: "value（name）".
    const int named = values.value(key).isEmpty()
                          ? -1
                          : combo->findText(values.value(key) + u'（', Qt::MatchStartsWith);
    if (named >= 0)
        combo->setCurrentIndex(named);
    else
        combo->setCurrentText(values.value(key));
    form->addRow(label, combo);
    if (values.fromEnvironment(key)) {
        combo->setEnabled(false);
        noteEnvironment(form, combo, key);
    }
    return combo;
}

// A value the environment sets: said under the field, and to a screen reader on the field.
void SettingsDialog::noteEnvironment(QFormLayout *form, QWidget *field, const QString &key) {
    const QString from =
        QStringLiteral("由环境变量 %1 设置").arg(Settings::environmentVariable(key));
    field->setAccessibleDescription(from);
    form->addRow(QString(), note(from, form->parentWidget()));
}

Settings SettingsDialog::settings() const {
    Settings result = values;
    const std::pair<const QString *, QString> fields[] = {
        {&Settings::AsrAppId, asrAppId->text().trimmed()},
        {&Settings::AsrAccessToken, asrToken->text().trimmed()},
        // (the id without the name of its generation)
        {&Settings::AsrResourceId, asrResource->currentText().section(u'（', 0, 0).trimmed()},
        {&Settings::AsrHotwords, hotwords->toPlainText().trimmed()},
        {&Settings::AsrUrl, asrUrl->text().trimmed()},
        {&Settings::LlmApiKey, llmKey->text().trimmed()},
        {&Settings::LlmUrl, llmUrl->text().trimmed()},
        {&Settings::LlmModel, llmModel->currentText().trimmed()},
        {&Settings::LlmThinking, llmThinking->isChecked() ? "true" : "false"},
        {&Settings::LlmEarlyRequest, llmEarly->isChecked() ? "true" : "false"},
        {&Settings::AudioDevice, audioDevice->currentData().toString()},
        {&Settings::AudioFollowPlaying, audioFollow->isChecked() ? "true" : "false"},
        {&Settings::ProfileResume, resume->toPlainText().trimmed()},
        {&Settings::ProfileJobDescription, jobDescription->toPlainText().trimmed()},
        {&Settings::LlmContextRounds, QString::number(contextRounds->value())},
    };
    for (const auto &[key, value] : fields)
        if (!values.fromEnvironment(*key))
            result.setValue(*key, value);
    takeShortcuts(result);
    return result;
}

void SettingsDialog::focusField(const QString &key) {
    const std::pair<const QString *, QWidget *> fields[] = {
        {&Settings::AsrAppId, asrAppId}, {&Settings::AsrAccessToken, asrToken},
        {&Settings::LlmApiKey, llmKey},  {&Settings::AsrUrl, asrUrl},
        {&Settings::LlmUrl, llmUrl},
    };
    for (const auto &[fieldKey, field] : fields)
        if (*fieldKey == key)
            field->setFocus(Qt::OtherFocusReason);
}

void SettingsDialog::testConnections() {
    const Settings entered = settings();
    // An empty credential is named, not discovered by a refusal or a time-out.
    const auto missing = [&](const QStringList &keys) {
        for (const QString &key : keys)
            if (entered.value(key).trimmed().isEmpty())
                return QStringLiteral("未填写") + Settings::credentialName(key);
        return QString();
    };
    const QString asrMissing = missing({Settings::AsrAppId, Settings::AsrAccessToken});
    if (!asrMissing.isEmpty()) {
        asrResult->setText(QStringLiteral("识别服务：") + asrMissing);
    } else {
        asrResult->setText(QStringLiteral("识别服务：正在连接…"));
        AsrConfig asr;
        asr.appId = entered.value(Settings::AsrAppId);
        asr.accessToken = entered.value(Settings::AsrAccessToken);
        asr.resourceId = entered.value(Settings::AsrResourceId);
        asr.wsUrl = entered.value(Settings::AsrUrl);
        check->checkRecognition(asr);
    }
    const QString llmMissing = missing({Settings::LlmApiKey});
    if (!llmMissing.isEmpty()) {
        llmResult->setText(QStringLiteral("对话服务：") + llmMissing);
    } else {
        llmResult->setText(QStringLiteral("对话服务：正在连接…"));
        LlmConfig chat;
        chat.apiKey = entered.value(Settings::LlmApiKey);
        chat.apiUrl = entered.value(Settings::LlmUrl);
        check->checkChat(chat);
    }
}

void SettingsDialog::fillModels() {
    const Settings entered = settings();
    LlmConfig chat;
    chat.apiKey = entered.value(Settings::LlmApiKey);
    chat.apiUrl = entered.value(Settings::LlmUrl);
    llmResult->setText(QStringLiteral("对话服务：正在读取模型列表…"));
    check->fetchModels(chat);
}

} // namespace Kelvane
