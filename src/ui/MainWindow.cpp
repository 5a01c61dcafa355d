#include "MainWindow.h"

#include "AnswerReader.h"
#include "Application.h"
#include "GlobalShortcuts.h"
#include "NativeFrame.h"
#include "QuestionBook.h"
#include "Remarks.h"
#include "SecretStore.h"
#include "SessionRecord.h"
#include "Settings.h"
#include "SettingsDialog.h"

#include <QDateTime>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>

namespace Kelvane {

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , book(new QuestionBook(this)) {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    applyNativeFrameStyle(this);

    const QIcon icon = createAppIcon();
    QGuiApplication::setWindowIcon(icon);
    setWindowIcon(icon);

    setWindowTitle(QStringLiteral(" "));
    setupUi();
    setupWindowKeys();
    placementSaver = new QTimer(this);
    placementSaver->setSingleShot(true);
    placementSaver->setInterval(500);
    connect(placementSaver, &QTimer::timeout, this, &MainWindow::savePlacement);
    setMinimumSize(960, 560);
    applyLook();
    restorePlacement();
    if (Settings::isOn(Settings::load().value(Settings::Compact), false))
        setCompact(true);

    watchBook();
}

void MainWindow::watchBook() {
    connect(book, &QuestionBook::added, this, &MainWindow::onQuestionAdded);
    connect(book, &QuestionBook::changed, this, &MainWindow::onQuestionChanged);
    connect(book, &QuestionBook::listChanged, this, &MainWindow::syncList);
    connect(book, &QuestionBook::failedChanged, this, &MainWindow::markItem);
}

MainWindow::~MainWindow() {
    // The child widgets outlive this body, and a line edit losing its focus while it is
    // destroyed still signals editingFinished: nothing may reach the half-destroyed window.
    for (QObject *child : findChildren<QObject *>())
        QObject::disconnect(child, nullptr, this, nullptr);
}

void MainWindow::setApplication(Application *app) {
    application = app;
    if (!application)
        return;
    book->disconnect(this);
    book = application->book();
    watchBook();
    syncList();
    connect(application, &Application::statusChanged, this, &MainWindow::onStatusChanged);
    connect(application, &Application::listeningChanged, this, &MainWindow::onListeningChanged);
    connect(application, &Application::asrResult, this, &MainWindow::onASRResult);
    connect(application, &Application::playingElsewhere, this, &MainWindow::onPlayingElsewhere);
    connect(application, &Application::asrResult, this, &MainWindow::refreshActions);
    connect(book, &QuestionBook::listChanged, this, &MainWindow::refreshActions);
    shortcuts = new GlobalShortcuts(this);
    connect(shortcuts, &GlobalShortcuts::activated, this, &MainWindow::perform);
    bindShortcuts();
    // Levels still queued from the capture thread when listening stops must not move it.
    connect(application, &Application::inputLevel, levelMeter,
            [this](int percent) { levelMeter->setValue(application->listening() ? percent : 0); });

    // What was typed last time comes back, and reaches the controller as if typed now.
    const Settings settings = Settings::load();
    directionEdit->setText(settings.value(Settings::Direction));
    silenceEdit->setText(settings.value(Settings::SilenceMs));
    application->setInterviewDirection(directionEdit->text().trimmed());
    application->setSilenceThreshold(silenceInUse());
    connect(silenceEdit, &QLineEdit::editingFinished, this, &MainWindow::onSilenceThresholdChanged);
}

void MainWindow::stepSilenceField(int delta) {
    // 0 when not a number; 64-bit so a huge typed value cannot overflow the step.
    const qint64 value = silenceEdit->text().toLongLong(nullptr, 10);
    silenceEdit->setText(QString::number(
        std::clamp<qint64>(value + delta, Settings::kMinSilenceMs, Settings::kMaxSilenceMs)));
    onSilenceThresholdChanged();
}

// The keys may still be on their way from the keyring (one that asks to be unlocked first):
// the action waits for them without holding the window.
bool MainWindow::secretsReady(void (MainWindow::*again)()) {
    SecretStore *secrets = SecretStore::instance();
    if (secrets->isReady())
        return true;
    showStatus(QStringLiteral("正在读取系统钥匙串中的密钥…"),
               QStringLiteral("钥匙串可能在等你解锁"));
    connect(secrets, &SecretStore::ready, this, again, Qt::SingleShotConnection);
    return false;
}

void MainWindow::onStartListeningClicked() {
    if (!secretsReady(&MainWindow::onStartListeningClicked))
        return;
    // With the built-in placeholder keys the real services can only refuse: ask for keys.
    if (Settings::load().needsCredentials() &&
        (!editSettings(
             QStringLiteral("首次使用：请先填写识别服务和对话服务的密钥，再开始监听。")) ||
         Settings::load().needsCredentials()))
        return;
    // An empty key is named, and its field opened, before any service is asked.
    const QString missing = Settings::load().missingCredential();
    if (!missing.isEmpty()) {
        const QString text = QStringLiteral("未填写") + Settings::credentialName(missing);
        showStatus(text, QString());
        if (!editSettings(text + QStringLiteral("：请填写后再开始监听。"), missing) ||
            !Settings::load().missingCredential().isEmpty())
            return;
    }
    QString direction = directionEdit->text().trimmed();
    if (direction.isEmpty()) {
        direction = QStringLiteral("通用面试");
        directionEdit->setText(direction);
    }
    if (application) {
        application->setInterviewDirection(direction);
        // (a value typed but not yet confirmed counts from this start on)
        application->setSilenceThreshold(silenceInUse());
        application->startListening(); // the buttons follow listeningChanged
    }
}

void MainWindow::onStopListeningClicked() {
    if (application)
        application->stopListening(); // the buttons follow listeningChanged
}

void MainWindow::onDirectionChanged() {
    Settings::store(Settings::Direction, directionEdit->text().trimmed());
}

// Typed (and confirmed) or stepped: the threshold is used from now on, in the pause going on too.
void MainWindow::onSilenceThresholdChanged() {
    const int ms = silenceInUse();
    Settings::store(Settings::SilenceMs, QString::number(ms));
    if (application)
        application->setSilenceThreshold(ms);
}

// The field shows the threshold that is used: a typed value out of range (or no number) is
// replaced by the one the controller gets.
int MainWindow::silenceInUse() {
    const int ms = Settings::silenceMs(silenceEdit->text());
    if (silenceEdit->text() != QString::number(ms))
        silenceEdit->setText(QString::number(ms));
    return ms;
}

void MainWindow::onSettingsClicked() {
    if (!secretsReady(&MainWindow::onSettingsClicked))
        return;
    const bool listening = application && application->listening();
    editSettings(listening ? QStringLiteral("正在监听：更改将在下次开始时生效。") : QString());
}

bool MainWindow::editSettings(const QString &note, const QString &focusKey) {
    SettingsDialog dialog(Settings::load(), note, this);
    if (!focusKey.isEmpty())
        dialog.focusField(focusKey);
    dialog.showShortcutProblems(shortcutProblems());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.settings().save();
    bindShortcuts(); // (they apply at once, and so does the look)
    applyLook();
    return true;
}

void MainWindow::onQuestionItemClicked(QListWidgetItem *item) {
    if (!item || !book->find(item->data(Qt::UserRole).toInt()))
        return;
    showQuestion(item->data(Qt::UserRole).toInt());
}

void MainWindow::showQuestion(int questionId) {
    if (questionId == pendingQuestionId)
        pendingQuestionId = 0;
    currentQuestionId = questionId;
    renderedQuestionId = 0; // another entry, or the same one anew, is drawn from the start
    if (QListWidgetItem *item = itemOf(questionId)) {
        questionList->setCurrentItem(item);
        questionList->scrollToItem(item, QAbstractItemView::EnsureVisible);
    } else {
        questionList->setCurrentItem(nullptr);
    }
    refreshAnswerView();
}

void MainWindow::onASRResult(const QString &text, bool) {
    if (!text.isEmpty())
        showTranscript(text);
}

// Long text is cut at the left: the newest words are the ones that matter.
void MainWindow::showTranscript(const QString &text) {
    transcriptLabel->setText(transcriptLabel->fontMetrics().elidedText(
        text, Qt::ElideLeft, std::max(100, transcriptLabel->width() - 16)));
    transcriptLabel->setAccessibleName(text);
}

void MainWindow::onAnswerNow() {
    if (application && application->listening())
        application->answerNow();
}

void MainWindow::onExportClicked() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("导出记录"),
        QStringLiteral("面试记录-%1.md")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm"))),
        QStringLiteral("Markdown (*.md)"));
    if (!path.isEmpty())
        exportTo(path);
}

// Written whole or not at all: a failed write leaves an earlier export as it was.
bool MainWindow::exportTo(const QString &path) {
    QSaveFile file(path);
    const QByteArray text =
        sessionMarkdown(directionEdit->text().trimmed(), book->entries()).toUtf8();
    const bool written =
        file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    showStatus(written ? QStringLiteral("记录已导出") : QStringLiteral("导出失败"),
               written ? path : path + QStringLiteral("\n") + file.errorString());
    return written;
}

// A new question joins the list at once; the answer being read stays until the new one's
// answer shows it is one.
void MainWindow::onQuestionAdded(int questionId) {
    const QuestionEntry *entry = book->find(questionId);
    if (!entry || entry->remark)
        return;
    showTranscript(QString()); // asked: the next question starts from nothing
    pendingQuestionId = questionId;
    onQuestionChanged(questionId, false);
}

// Only the question shown is drawn; the others are drawn when selected.
void MainWindow::onQuestionChanged(int questionId, bool anew) {
    const QuestionEntry *entry = book->find(questionId);
    if (questionId == pendingQuestionId && entry && !entry->remark &&
        (entry->thinkingSince || !entry->failure.isEmpty() ||
         Remarks::verdict(entry->answer, entry->done) == Remarks::Verdict::Answer)) {
        showQuestion(questionId);
        return;
    }
    if (questionId != currentQuestionId)
        return;
    if (anew)
        renderedQuestionId = 0;
    refreshAnswerView();
}

QListWidgetItem *MainWindow::itemOf(int questionId) const {
    for (int row = 0; row < questionList->count(); ++row)
        if (questionList->item(row)->data(Qt::UserRole).toInt() == questionId)
            return questionList->item(row);
    return nullptr;
}

// The list shows the questions in order, numbered without gaps; one that became a remark or
// was joined into another leaves it, and the pane goes back to the question before.
void MainWindow::syncList() {
    QList<const QuestionEntry *> listed;
    for (const QuestionEntry &entry : book->entries())
        if (!entry.remark)
            listed.append(&entry);
    for (int row = questionList->count() - 1; row >= 0; --row) {
        const QuestionEntry *entry =
            book->find(questionList->item(row)->data(Qt::UserRole).toInt());
        if (!entry || entry->remark)
            delete questionList->takeItem(row);
    }
    for (int row = 0; row < listed.size(); ++row) {
        QListWidgetItem *item = questionList->item(row);
        if (!item || item->data(Qt::UserRole).toInt() != listed[row]->id) {
            item = new QListWidgetItem();
            item->setData(Qt::UserRole, listed[row]->id);
            questionList->insertItem(row, item);
        }
        item->setText(questionLabel(row + 1, listed[row]->question));
    }
    const QuestionEntry *pending = book->find(pendingQuestionId);
    if (!pending || pending->remark)
        pendingQuestionId = 0;
    const QuestionEntry *shown = book->find(currentQuestionId);
    if (currentQuestionId && (!shown || shown->remark))
        showQuestion(book->questionBefore(currentQuestionId));
    else if (shown) {
        answerTitle->setText(questionLabel(book->number(shown->id), shown->question));
        answerTitle->setAccessibleName(answerTitle->text());
    }
}

void MainWindow::onStatusChanged(const QString &status) {
    showStatus(status, application ? application->statusDetail() : QString());
}

// A screen reader says the status itself first, then what it means in detail.
void MainWindow::showStatus(const QString &status, const QString &detail) {
    statusLabel->setText(status);
    statusLabel->setToolTip(detail);
    statusLabel->setAccessibleName(status);
    statusLabel->setAccessibleDescription(detail.isEmpty() ? QStringLiteral("状态")
                                                           : QStringLiteral("状态：") + detail);
}

void MainWindow::onListeningChanged(bool listening) {
    startButton->setEnabled(!listening);
    stopButton->setEnabled(listening);
    answerNowButton->setEnabled(listening);
    if (!listening)
        levelMeter->setValue(0);
    refreshActions();
}

void MainWindow::onPlayingElsewhere(const QString &deviceId, const QString &text) {
    playingDevice = deviceId;
    playingHint->setText(text);
    playingHint->setAccessibleName(text);
    playingHint->setVisible(!text.isEmpty());
    followButton->setVisible(!deviceId.isEmpty());
}

void MainWindow::onRetryClicked() {
    if (application && book->find(currentQuestionId))
        application->askAgain(currentQuestionId);
}

void MainWindow::markItem(int questionId, bool failed) {
    for (int row = 0; row < questionList->count(); ++row) {
        QListWidgetItem *item = questionList->item(row);
        if (item->data(Qt::UserRole).toInt() != questionId)
            continue;
        const QString note = failed ? QStringLiteral("回答失败") : QString();
        item->setForeground(failed ? palette().color(QPalette::BrightText) : QBrush());
        item->setToolTip(note);
        item->setData(Qt::AccessibleDescriptionRole, note);
    }
}

void MainWindow::refreshAnswerView() {
    const QuestionEntry *entry = book->find(currentQuestionId);
    if (!entry) {
        reader->clear();
        answerTitle->setText(QStringLiteral("提示"));
        answerTitle->setAccessibleName(answerTitle->text());
        renderedQuestionId = 0;
        thinkingClock->stop();
        return;
    }
    answerTitle->setText(questionLabel(book->number(entry->id), entry->question));
    answerTitle->setAccessibleName(answerTitle->text());
    timingLabel->setText(timingLine(*entry));
    timingLabel->setAccessibleName(timingLabel->text());
    retryButton->setEnabled(entry->done || !entry->failure.isEmpty());
    if (entry->thinkingSince && entry->answer.isEmpty() && entry->failure.isEmpty()) {
        const qint64 seconds = (QDateTime::currentMSecsSinceEpoch() - entry->thinkingSince) / 1000;
        reader->showNote(QStringLiteral("<p style=\"color:%1\">思考中… %2 秒</p>")
                             .arg(palette().color(QPalette::PlaceholderText).name())
                             .arg(seconds));
        renderedQuestionId = 0; // the answer, when it comes, is drawn anew
        if (!thinkingClock->isActive())
            thinkingClock->start();
        return;
    }
    thinkingClock->stop();
    const QString markdown = answerMarkdown(*entry);
    // The same answer growing needs only its new tail laid out; another one is drawn anew.
    reader->show(markdown, renderedQuestionId == entry->id);
    renderedQuestionId = entry->id;
}

} // namespace Kelvane
