#include "SettingsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QSlider>

#include <algorithm>

// 设置's part for the window itself: 置顶, 透明度, the theme, and the shortcuts that reach
// Kelvane from other programs.
namespace Kelvane {

namespace {

const std::pair<const QString *, const char *> kHotkeys[] = {
    {&Settings::AnswerNowHotkey, "立即回答"},
    {&Settings::SkipHotkey, "跳过"},
    {&Settings::MergeHotkey, "合并"},
    {&Settings::PageUpHotkey, "回答上翻一页"},
    {&Settings::PageDownHotkey, "回答下翻一页"},
};

const std::pair<const char *, const char *> kThemes[] = {
    {"system", "跟随系统"}, {"light", "浅色"}, {"dark", "深色"}};

// Wayland lets no program keep itself above others or fade its own window.
QString placementRefused() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"))
               ? QStringLiteral("Wayland 下程序不能自己置顶或改变透明度；可在窗口菜单中选择"
                                "“保持在其他窗口之上”，或用 QT_QPA_PLATFORM=xcb 启动")
               : QString();
}

// "ui/skipHotkey" -> "skipHotkey"
QString fieldName(const QString &key) {
    return key.section(QLatin1Char('/'), 1);
}

} // namespace

QWidget *SettingsDialog::makeShortcutGroup() {
    auto *group = new QGroupBox(QStringLiteral("窗口与快捷键"), this);
    auto *form = new QFormLayout(group);
    const QString refused = placementRefused();
    onTop = new QCheckBox(QStringLiteral("置顶：保持在会议窗口之上"), group);
    onTop->setObjectName(QStringLiteral("onTopCheck"));
    onTop->setChecked(Settings::isOn(values.value(Settings::OnTop), false));
    opacity = new QSlider(Qt::Horizontal, group);
    opacity->setObjectName(QStringLiteral("opacitySlider"));
    opacity->setAccessibleName(QStringLiteral("透明度"));
    opacity->setRange(40, 100);
    opacity->setSingleStep(10);
    opacity->setValue(std::clamp(values.value(Settings::Opacity).toInt(), 40, 100));
    opacity->setToolTip(QStringLiteral("40%–100%；窗口中按 Ctrl+Shift+↑/↓ 调整"));
    for (QWidget *field : {static_cast<QWidget *>(onTop), static_cast<QWidget *>(opacity)}) {
        field->setEnabled(refused.isEmpty());
        if (!refused.isEmpty()) {
            field->setToolTip(refused);
            field->setAccessibleDescription(refused);
        }
    }
    theme = new QComboBox(group);
    theme->setObjectName(QStringLiteral("themeCombo"));
    theme->setAccessibleName(QStringLiteral("主题"));
    for (const auto &[value, name] : kThemes)
        theme->addItem(QString::fromUtf8(name), QString::fromLatin1(value));
    theme->setCurrentIndex(std::max(0, theme->findData(values.value(Settings::UiTheme))));
    form->addRow(QString(), onTop);
    form->addRow(QStringLiteral("透明度"), opacity);
    form->addRow(QStringLiteral("主题"), theme);
    for (const auto &[key, label] : kHotkeys) {
        auto *edit = new QKeySequenceEdit(
            QKeySequence(values.value(*key), QKeySequence::PortableText), group);
        edit->setObjectName(fieldName(*key) + QStringLiteral("Edit"));
        edit->setAccessibleName(QString::fromUtf8(label) + QStringLiteral("快捷键"));
        auto *status = new QLabel(group);
        status->setObjectName(fieldName(*key) + QStringLiteral("Status"));
        status->setWordWrap(true);
        auto *row = new QHBoxLayout();
        row->addWidget(edit);
        row->addWidget(status, 1);
        form->addRow(QString::fromUtf8(label), row);
        hotkeyEdits.insert(*key, edit);
        hotkeyStatus.insert(*key, status);
    }
    return group;
}

void SettingsDialog::showShortcutProblems(const QMap<QString, QString> &problems) {
    for (auto it = hotkeyStatus.begin(); it != hotkeyStatus.end(); ++it) {
        const QString problem = problems.value(it.key());
        const QString text =
            problem.isEmpty() ? QStringLiteral("已生效") : QStringLiteral("未能注册：") + problem;
        it.value()->setText(text);
        it.value()->setAccessibleName(text);
        it.value()->setStyleSheet(problem.isEmpty() ? QStringLiteral("color: #1a7f37;")
                                                    : QStringLiteral("color: #b3261e;"));
    }
}

void SettingsDialog::takeShortcuts(Settings &result) const {
    result.setValue(Settings::OnTop,
                    onTop->isChecked() ? QStringLiteral("true") : QStringLiteral("false"));
    result.setValue(Settings::Opacity, QString::number(opacity->value()));
    result.setValue(Settings::UiTheme, theme->currentData().toString());
    for (auto it = hotkeyEdits.begin(); it != hotkeyEdits.end(); ++it)
        result.setValue(it.key(), it.value()->keySequence().toString(QKeySequence::PortableText));
}

} // namespace Kelvane
