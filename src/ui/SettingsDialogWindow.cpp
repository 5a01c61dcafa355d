#include "SettingsDialog.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>

// 设置's part for the window itself: the shortcuts that reach Kelvane from other programs.
namespace Kelvane {

namespace {

const std::pair<const QString *, const char *> kHotkeys[] = {
    {&Settings::AnswerNowHotkey, "立即回答"},
    {&Settings::SkipHotkey, "跳过"},
    {&Settings::MergeHotkey, "合并"},
};

// "ui/skipHotkey" -> "skipHotkey"
QString fieldName(const QString &key) {
    return key.section(QLatin1Char('/'), 1);
}

} // namespace

QWidget *SettingsDialog::makeShortcutGroup() {
    auto *group = new QGroupBox(QStringLiteral("快捷键（在其他程序中也可用）"), this);
    auto *form = new QFormLayout(group);
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
    for (auto it = hotkeyEdits.begin(); it != hotkeyEdits.end(); ++it)
        result.setValue(it.key(), it.value()->keySequence().toString(QKeySequence::PortableText));
}

} // namespace Kelvane
