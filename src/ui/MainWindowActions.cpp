#include "MainWindow.h"

#include "AnswerReader.h"
#include "Application.h"
#include "GlobalShortcuts.h"
#include "QuestionBook.h"
#include "Settings.h"

#include <QLabel>
#include <QPushButton>
#include <QShortcut>

// The window's actions that other programs reach too: 立即回答, 跳过 and 合并 by buttons,
// window shortcuts, global shortcuts and the command line of a second kelvane.
namespace Kelvane {

namespace {

struct Action {
    const char *name;        // as the command line names it
    const QString *hotkey;   // the settings key of its shortcut
    const char *description; // for the desktop's list of shortcuts
};

const Action kActions[] = {
    {"answer-now", &Settings::AnswerNowHotkey, "立即回答"},
    {"skip", &Settings::SkipHotkey, "跳过"},
    {"merge", &Settings::MergeHotkey, "合并"},
    {"page-up", &Settings::PageUpHotkey, "回答上翻一页"},
    {"page-down", &Settings::PageDownHotkey, "回答下翻一页"},
};

} // namespace

bool MainWindow::perform(const QString &action) {
    if (action == QLatin1String("answer-now") || action == Settings::AnswerNowHotkey)
        onAnswerNow();
    else if (action == QLatin1String("skip") || action == Settings::SkipHotkey)
        onSkip();
    else if (action == QLatin1String("merge") || action == Settings::MergeHotkey)
        onMerge();
    else if (action == QLatin1String("page-up") || action == Settings::PageUpHotkey)
        reader->page(-1);
    else if (action == QLatin1String("page-down") || action == Settings::PageDownHotkey)
        reader->page(1);
    else if (action == QLatin1String("show")) {
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        show();
        raise();
        activateWindow();
    } else
        return false;
    return true;
}

void MainWindow::onSkip() {
    if (application && application->canSkip()) {
        application->skip();
        showTranscript(QString());
    }
    refreshActions();
}

void MainWindow::onMerge() {
    if (application && application->canMerge())
        application->merge();
    refreshActions();
}

void MainWindow::refreshActions() {
    skipButton->setEnabled(application && application->canSkip());
    mergeButton->setEnabled(application && application->canMerge());
}

void MainWindow::bindShortcuts() {
    const Settings settings = Settings::load();
    qDeleteAll(windowShortcuts);
    windowShortcuts.clear();
    QList<GlobalShortcuts::Shortcut> wanted;
    for (const Action &action : kActions) {
        const QKeySequence keys(settings.value(*action.hotkey), QKeySequence::PortableText);
        wanted.append({*action.hotkey, QString::fromUtf8(action.description), keys});
        // In the window too, where the desktop gives no global shortcut.
        auto *shortcut = new QShortcut(keys, this);
        const QString name = QString::fromLatin1(action.name);
        connect(shortcut, &QShortcut::activated, this, [this, name]() { perform(name); });
        windowShortcuts.append(shortcut);
    }
    if (shortcuts)
        shortcuts->bind(wanted);
}

QMap<QString, QString> MainWindow::shortcutProblems() const {
    QMap<QString, QString> problems;
    for (const Action &action : kActions)
        problems.insert(*action.hotkey,
                        shortcuts ? shortcuts->problem(*action.hotkey) : QStringLiteral("未注册"));
    return problems;
}

} // namespace Kelvane
