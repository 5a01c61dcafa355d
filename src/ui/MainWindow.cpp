#include "MainWindow.h"

#include "GlobalHotkey.h"

#include "Application.h"
#include "Log.h"
#include "MarkdownView.h"
#include "NativeFrame.h"
#include "Settings.h"
#include "SettingsDialog.h"

#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace Kelvane {

namespace {

const char *const kCentralStyle = "background-color: #f7f7f7;";
const char *const kBarStyle = "QWidget { background-color: #f7f7f7; color: #111111; border-bottom: "
                              "1px solid #dcdcdc; }";
const char *const kCaptionStyle = "font-size: 12px; color: #111111; font-weight: 600;";
const char *const kDirectionFieldStyle =
    "QLineEdit { background-color: #ffffff; color: #111111; border: 1px solid #dcdcdc; "
    "border-radius: 4px; padding: 8px 10px; font-size: 12px; } QLineEdit:focus { border: 1px "
    "solid #07c160; outline: none; }";
const char *const kStepButtonStyle =
    "QPushButton { background-color: #ffffff; color: #111111; border: 1px solid #dcdcdc; "
    "border-radius: 4px; font-size: 14px; font-weight: 500; padding: 0px; } QPushButton:hover { "
    "border: 1px solid #07c160; } QPushButton:pressed { background-color: #f0f0f0; }";
const char *const kSilenceFieldStyle =
    "QLineEdit { background-color: #ffffff; color: #111111; border: 1px solid #dcdcdc; "
    "border-radius: 4px; padding: 4px 8px; font-size: 12px; } QLineEdit:focus { border: 1px "
    "solid #07c160; outline: none; }";
const char *const kStartButtonStyle =
    "QPushButton { background-color: #07c160; color: #ffffff; border: 1px solid #07c160; "
    "border-radius: 6px; padding: 10px 18px; font-size: 13px; font-weight: 600; } "
    "QPushButton:hover { background-color: #06ad56; } QPushButton:pressed { background-color: "
    "#05964a; } QPushButton:disabled { background-color: #cdeedd; color: #8abfa1; border-color: "
    "#cdeedd; }";
const char *const kStopButtonStyle =
    "QPushButton { background-color: #f0f0f0; color: #333333; border: 1px solid #dcdcdc; "
    "border-radius: 6px; padding: 10px 18px; font-size: 13px; font-weight: 600; } "
    "QPushButton:hover { background-color: #e6e6e6; } QPushButton:pressed { background-color: "
    "#dcdcdc; } QPushButton:disabled { background-color: #f7f7f7; border: 1px solid #e8e8e8; "
    "color: #bbbbbb; }";
const char *const kStatusStyle = "QLabel { font-size: 12px; color: #555555; font-weight: 500; }";
const char *const kSplitterStyle = "QSplitter::handle { background-color: #e5e5e5; }";
const char *const kLeftPanelStyle =
    "QWidget { background-color: #f7f7f7; border-right: 1px solid #e5e5e5; }";
const char *const kPanelTitleStyle =
    "QLabel { background-color: #ffffff; color: #111111; padding: 14px 18px; font-size: 13px; "
    "font-weight: 700; letter-spacing: 2px; border-bottom: 1px solid #e5e5e5; }";
const char *const kQuestionListStyle =
    "QListWidget { background-color: #ffffff; border: none; padding: 6px; font-size: 13px; "
    "outline: none; } QListWidget::item { padding: 12px 14px; border-bottom: 1px solid #e6e6e6; "
    "color: #111111; border-radius: 4px; margin: 2px 2px; } QListWidget::item:hover { "
    "background-color: #f2f2f2; } QListWidget::item:selected { background-color: #e8f7ed; color: "
    "#07c160; border-left: 3px solid #07c160; font-weight: 600; }";
const char *const kRightPanelStyle = "QWidget { background-color: #ffffff; }";
const char *const kAnswerViewStyle =
    "QTextEdit { background-color: #ffffff; border: none; padding: 22px; font-size: 14px; "
    "line-height: 1.7; color: #111111; }";

QLabel *makeCaption(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(kCaptionStyle);
    return label;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent) {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    applyNativeFrameStyle(this);

    const QIcon icon = createAppIcon();
    QGuiApplication::setWindowIcon(icon);
    setWindowIcon(icon);

    setWindowTitle(QStringLiteral(" "));
    setMinimumSize(1200, 700);
    setupUi();
}

MainWindow::~MainWindow() {
    // The child widgets outlive this body, and a line edit losing its focus while it is
    // destroyed still signals editingFinished: nothing may reach the half-destroyed window.
    for (QObject *child : findChildren<QObject *>())
        QObject::disconnect(child, nullptr, this, nullptr);
}

QIcon MainWindow::createAppIcon() {
    QPixmap drawing(64, 64);
    drawing.fill(Qt::transparent);
    {
        QPainter painter(&drawing);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setBrush(QColor(QStringLiteral("#07c160")));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(drawing.rect().adjusted(2, 2, -2, -2));

        painter.setBrush(Qt::white);
        QPainterPath bubble;
        bubble.addRoundedRect(QRectF(16, 18, 32, 22), 6, 6, Qt::AbsoluteSize);
        bubble.moveTo(20, 40);
        bubble.lineTo(22, 46);
        bubble.lineTo(26, 40);
        bubble.closeSubpath();
        painter.drawPath(bubble);
    }

    QPixmap empty(16, 16);
    empty.fill(Qt::transparent);

    QIcon icon;
    icon.addPixmap(empty, QIcon::Normal, QIcon::Off);
    icon.addPixmap(drawing, QIcon::Normal, QIcon::Off);
    icon.addPixmap(drawing.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation),
                   QIcon::Normal, QIcon::Off);
    return icon;
}

void MainWindow::setupUi() {
    centralWidget = new QWidget(this);
    setCentralWidget(centralWidget);
    centralWidget->setStyleSheet(kCentralStyle);
    mainLayout = new QVBoxLayout(centralWidget);
    mainLayout->setSpacing(0);
    mainLayout->setContentsMargins(0, 0, 0, 0);

    controlBar = new QWidget(centralWidget);
    controlBar->setStyleSheet(kBarStyle);
    controlBar->setFixedHeight(56);
    controlBarLayout = new QHBoxLayout(controlBar);
    controlBarLayout->setSpacing(14);
    controlBarLayout->setContentsMargins(16, 8, 16, 8);

    QLabel *directionCaption = makeCaption(QStringLiteral("方向"), controlBar);

    directionEdit = new QLineEdit(controlBar);
    directionEdit->setPlaceholderText(QStringLiteral("如 Java后端"));
    directionEdit->setText(QStringLiteral("Java后端"));
    directionEdit->setFixedWidth(120);
    directionEdit->setStyleSheet(kDirectionFieldStyle);
    connect(directionEdit, &QLineEdit::editingFinished, this, &MainWindow::onDirectionChanged);

    QLabel *silenceCaption = makeCaption(QStringLiteral("静音 (ms)"), controlBar);

    minusButton = new QPushButton(QStringLiteral("-"), controlBar);
    minusButton->setFixedSize(26, 26);
    minusButton->setStyleSheet(kStepButtonStyle);
    connect(minusButton, &QPushButton::clicked, this, [this]() { stepSilenceField(-100); });

    silenceEdit = new QLineEdit(controlBar);
    silenceEdit->setText(QStringLiteral("1000"));
    silenceEdit->setFixedWidth(60);
    silenceEdit->setAlignment(Qt::AlignCenter);
    silenceEdit->setStyleSheet(kSilenceFieldStyle);

    plusButton = new QPushButton(QStringLiteral("+"), controlBar);
    plusButton->setFixedSize(26, 26);
    plusButton->setStyleSheet(kStepButtonStyle);
    connect(plusButton, &QPushButton::clicked, this, [this]() { stepSilenceField(100); });

    startButton = new QPushButton(QStringLiteral("开始"), controlBar);
    startButton->setMinimumWidth(90);
    startButton->setMaximumWidth(120);
    startButton->setStyleSheet(kStartButtonStyle);
    startButton->setEnabled(true);
    connect(startButton, &QPushButton::clicked, this, &MainWindow::onStartListeningClicked);

    stopButton = new QPushButton(QStringLiteral("停止"), controlBar);
    stopButton->setEnabled(false);
    stopButton->setMinimumWidth(90);
    stopButton->setMaximumWidth(120);
    stopButton->setStyleSheet(kStopButtonStyle);
    connect(stopButton, &QPushButton::clicked, this, &MainWindow::onStopListeningClicked);

    answerNowButton = new QPushButton(QStringLiteral("立即回答"), controlBar);
    answerNowButton->setStyleSheet(kStopButtonStyle);
    answerNowButton->setToolTip(QStringLiteral("把正在听到的内容立即作为问题（Ctrl+Enter）"));
    answerNowButton->setEnabled(false);
    connect(answerNowButton, &QPushButton::clicked, this, &MainWindow::onAnswerNow);
    // Ctrl+Enter in the window; on Windows also a global hotkey (set in setApplication).
    for (const QKeySequence &keys :
         {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &MainWindow::onAnswerNow);

    exportButton = new QPushButton(QStringLiteral("导出记录"), controlBar);
    exportButton->setStyleSheet(kStopButtonStyle);
    exportButton->setToolTip(QStringLiteral("把问题和回答保存为 Markdown 文件（Ctrl+S）"));
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::onExportClicked);
    connect(new QShortcut(QKeySequence::Save, this), &QShortcut::activated, this,
            &MainWindow::onExportClicked);

    settingsButton = new QPushButton(QStringLiteral("设置"), controlBar);
    settingsButton->setStyleSheet(kStopButtonStyle);
    connect(settingsButton, &QPushButton::clicked, this, &MainWindow::onSettingsClicked);

    statusLabel = new QLabel(QStringLiteral("就绪"), controlBar);
    statusLabel->setStyleSheet(kStatusStyle);

    // Shows that sound arrives at all: a quiet meter while a question plays means the wrong
    // device or a muted meeting, long before no question appears.
    levelMeter = new QProgressBar(controlBar);
    levelMeter->setRange(0, 100);
    levelMeter->setValue(0);
    levelMeter->setTextVisible(false);
    levelMeter->setFixedSize(60, 8);
    levelMeter->setAccessibleName(QStringLiteral("音量"));
    levelMeter->setToolTip(QStringLiteral("音量"));

    auto *controls = new QHBoxLayout();
    controls->setSpacing(10);
    controls->addWidget(directionCaption);
    controls->addWidget(directionEdit);
    controls->addSpacing(8);
    controls->addWidget(silenceCaption);
    controls->addWidget(minusButton);
    controls->addWidget(silenceEdit);
    controls->addWidget(plusButton);
    controls->addSpacing(12);
    controls->addWidget(startButton);
    controls->addWidget(stopButton);
    controls->addWidget(answerNowButton);
    controls->addWidget(settingsButton);
    controls->addWidget(exportButton);
    controls->addSpacing(8);
    controls->addWidget(levelMeter);
    controls->addWidget(statusLabel);

    controlBarLayout->addLayout(controls);
    controlBarLayout->addStretch(0);
    mainLayout->addWidget(controlBar);

    // What the recogniser hears of the question in progress, one grey line.
    transcriptLabel = new QLabel(this);
    transcriptLabel->setStyleSheet(QStringLiteral("QLabel { color: #999999; padding: 2px 16px; }"));
    transcriptLabel->setAccessibleName(QStringLiteral("正在听到"));
    transcriptLabel->setMinimumWidth(1);
    mainLayout->addWidget(transcriptLabel);

    splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setHandleWidth(3);
    splitter->setStyleSheet(kSplitterStyle);

    leftPanel = new QWidget();
    leftPanel->setStyleSheet(kLeftPanelStyle);
    leftPanelLayout = new QVBoxLayout(leftPanel);
    leftPanelLayout->setSpacing(0);
    leftPanelLayout->setContentsMargins(0, 0, 0, 0);

    listTitle = new QLabel(QStringLiteral("问题列表"), leftPanel);
    listTitle->setStyleSheet(kPanelTitleStyle);
    listTitle->setFixedHeight(48);

    questionList = new QListWidget(leftPanel);
    questionList->setStyleSheet(kQuestionListStyle);
    connect(questionList, &QListWidget::itemClicked, this, &MainWindow::onQuestionItemClicked);

    leftPanelLayout->addWidget(listTitle);
    leftPanelLayout->addWidget(questionList);

    rightPanel = new QWidget();
    rightPanel->setStyleSheet(kRightPanelStyle);
    rightPanelLayout = new QVBoxLayout(rightPanel);
    rightPanelLayout->setSpacing(8);
    rightPanelLayout->setContentsMargins(0, 0, 0, 0);

    answerTitle = new QLabel(QStringLiteral("提示"), rightPanel);
    answerTitle->setStyleSheet(kPanelTitleStyle);
    answerTitle->setFixedHeight(48);

    answerView = new QTextEdit(rightPanel);
    answerView->setReadOnly(true);
    answerView->setStyleSheet(kAnswerViewStyle);
    answerRenderer = std::make_unique<MarkdownView>(answerView);

    retryButton = new QPushButton(QStringLiteral("重新回答"), rightPanel);
    retryButton->setStyleSheet(kStopButtonStyle);
    retryButton->setEnabled(false);
    connect(retryButton, &QPushButton::clicked, this, &MainWindow::onRetryClicked);
    auto *titleRow = new QHBoxLayout();
    titleRow->setContentsMargins(0, 0, 12, 0);
    titleRow->addWidget(answerTitle, 1);
    titleRow->addWidget(retryButton);

    timingLabel = new QLabel(rightPanel);
    timingLabel->setStyleSheet(QStringLiteral("QLabel { color: #999999; font-size: 11px; "
                                              "padding: 0px 18px; }"));

    rightPanelLayout->addLayout(titleRow);
    rightPanelLayout->addWidget(timingLabel);
    rightPanelLayout->addWidget(answerView);

    splitter->addWidget(leftPanel);
    splitter->addWidget(rightPanel);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 7);

    mainLayout->addWidget(splitter);

    // While an answer is still only thought about, its pane counts the seconds.
    thinkingClock = new QTimer(this);
    thinkingClock->setInterval(1000);
    connect(thinkingClock, &QTimer::timeout, this, [this]() {
        const auto entry = questions.constFind(currentQuestionId);
        if (entry != questions.constEnd() && entry->thinkingSince && entry->answer.isEmpty())
            refreshAnswerView();
        else
            thinkingClock->stop();
    });

    // Names for accessibility tools and tests, which find widgets by name, not position.
    const std::pair<QWidget *, const char *> names[] = {
        {directionEdit, "directionEdit"},     {silenceEdit, "silenceEdit"},
        {minusButton, "minusButton"},         {plusButton, "plusButton"},
        {startButton, "startButton"},         {stopButton, "stopButton"},
        {statusLabel, "statusLabel"},         {questionList, "questionList"},
        {answerTitle, "answerTitle"},         {answerView, "answerView"},
        {retryButton, "retryButton"},         {settingsButton, "settingsButton"},
        {timingLabel, "timingLabel"},         {levelMeter, "levelMeter"},
        {answerNowButton, "answerNowButton"}, {exportButton, "exportButton"},
        {transcriptLabel, "transcriptLabel"},
    };
    for (const auto &[widget, name] : names)
        widget->setObjectName(QLatin1String(name));
}

void MainWindow::setApplication(Application *app) {
    application = app;
    if (!application)
        return;
    connect(application, &Application::newQuestionStarted, this, &MainWindow::onNewQuestionStarted,
            Qt::AutoConnection);
    connect(application, &Application::llmResponse, this, &MainWindow::onLLMResponse,
            Qt::AutoConnection);
    connect(application, &Application::statusChanged, this, &MainWindow::onStatusChanged,
            Qt::AutoConnection);
    connect(application, &Application::answerFailed, this, &MainWindow::onAnswerFailed);
    connect(application, &Application::answerRestarted, this, &MainWindow::onAnswerRestarted);
    connect(application, &Application::listeningChanged, this, &MainWindow::onListeningChanged);
    connect(application, &Application::answerThinking, this, &MainWindow::onAnswerThinking);
    connect(application, &Application::questionTiming, this, &MainWindow::onQuestionTiming);
    connect(application, &Application::asrResult, this, &MainWindow::onASRResult);
    hotkey = new GlobalHotkey(this);
    connect(hotkey, &GlobalHotkey::activated, this, &MainWindow::onAnswerNow);
    const QString hotkeyText = Settings::load().value(Settings::AnswerNowHotkey);
    if (hotkey->setShortcut(QKeySequence(hotkeyText, QKeySequence::PortableText)))
        answerNowButton->setToolTip(answerNowButton->toolTip() + QStringLiteral("；其他程序中：") +
                                    hotkeyText);
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
    const qint64 stepped =
        delta < 0 ? std::max<qint64>(value + delta, 100) : std::min<qint64>(value + delta, 5000);
    silenceEdit->setText(QString::number(stepped));
    onSilenceThresholdChanged();
}

void MainWindow::onStartListeningClicked() {
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
        statusLabel->setText(text);
        statusLabel->setToolTip(QString());
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

void MainWindow::onSilenceThresholdChanged() {
    Settings::store(Settings::SilenceMs, QString::number(silenceInUse()));
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
    const bool listening = application && application->listening();
    editSettings(listening ? QStringLiteral("正在监听：更改将在下次开始时生效。") : QString());
}

bool MainWindow::editSettings(const QString &note, const QString &focusKey) {
    SettingsDialog dialog(Settings::load(), note, this);
    if (!focusKey.isEmpty())
        dialog.focusField(focusKey);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.settings().save();
    return true;
}

void MainWindow::onQuestionTiming(int questionId, qint64 questionEndMs, qint64 triggeredMs) {
    auto entry = questions.find(questionId);
    if (entry == questions.end() || questionEndMs <= 0)
        return;
    entry->endedAt = questionEndMs;
    entry->silenceMs = triggeredMs >= questionEndMs ? triggeredMs - questionEndMs : -1;
    if (questionId == currentQuestionId)
        refreshAnswerView();
}

void MainWindow::onAnswerThinking(int questionId) {
    auto entry = questions.find(questionId);
    if (entry == questions.end() || entry->thinkingSince)
        return;
    entry->thinkingSince = QDateTime::currentMSecsSinceEpoch();
    if (questionId == currentQuestionId && entry->answer.isEmpty()) {
        refreshAnswerView();
        thinkingClock->start();
    }
}

void MainWindow::onQuestionItemClicked(QListWidgetItem *item) {
    if (!item)
        return;
    const int id = item->data(Qt::UserRole).toInt();
    if (!questions.contains(id))
        return;
    currentQuestionId = id;
    refreshAnswerView();
}

void MainWindow::onASRResult(const QString &text, bool) {
    if (!text.isEmpty())
        showTranscript(text);
}

// Long text is cut at the left: the newest words are the ones that matter.
void MainWindow::showTranscript(const QString &text) {
    transcriptLabel->setText(transcriptLabel->fontMetrics().elidedText(
        text, Qt::ElideLeft, std::max(100, transcriptLabel->width() - 32)));
    transcriptLabel->setAccessibleDescription(text);
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

bool MainWindow::exportTo(const QString &path) {
    QFile file(path);
    const QByteArray text =
        sessionMarkdown(directionEdit->text().trimmed(), questions.values()).toUtf8();
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                         file.write(text) == text.size() && file.flush();
    statusLabel->setText(written ? QStringLiteral("记录已导出") : QStringLiteral("导出失败"));
    statusLabel->setToolTip(written ? path : path + QStringLiteral("\n") + file.errorString());
    return written;
}

void MainWindow::onNewQuestionStarted(int questionId, const QString &question) {
    showTranscript(QString()); // asked: the next question starts from nothing
    QuestionEntry entry;
    entry.id = questionId;
    entry.question = question;
    questions.insert(questionId, entry);

    auto *item = new QListWidgetItem(questionLabel(questionId, question));
    item->setData(Qt::UserRole, questionId);
    questionList->addItem(item);

    currentQuestionId = questionId;
    renderedQuestionId = 0; // a new entry, even under a known id, is drawn anew
    questionList->setCurrentItem(item);
    questionList->scrollToItem(item, QAbstractItemView::EnsureVisible);
    refreshAnswerView();
}

void MainWindow::onLLMResponse(int questionId, const QString &text, bool isDone) {
    auto entry = questions.find(questionId);
    if (entry == questions.end())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (entry->endedAt && !isDone && !text.isEmpty() && entry->firstTextMs < 0)
        entry->firstTextMs = now - entry->endedAt;
    if (entry->endedAt && isDone && entry->completeMs < 0) {
        entry->completeMs = now - entry->endedAt;
        Log::out("[Timing] Q", questionId, ": silence ", entry->silenceMs, " ms, first text ",
                 entry->firstTextMs, " ms, complete ", entry->completeMs, " ms");
    }
    if (isDone) {
        entry->done = true;
        if (questionId == currentQuestionId)
            retryButton->setEnabled(true);
        if (application)
            application->setSilenceThreshold(silenceInUse());
    } else {
        entry->answer.append(text);
    }
    if (questionId == currentQuestionId)
        refreshAnswerView();
}

void MainWindow::onStatusChanged(const QString &status) {
    statusLabel->setText(status);
    const QString detail = application ? application->statusDetail() : QString();
    statusLabel->setToolTip(detail);
    statusLabel->setAccessibleDescription(detail);
}

void MainWindow::onListeningChanged(bool listening) {
    startButton->setEnabled(!listening);
    stopButton->setEnabled(listening);
    answerNowButton->setEnabled(listening);
    if (!listening)
        levelMeter->setValue(0);
}

void MainWindow::onAnswerFailed(int questionId, const QString &reason) {
    auto entry = questions.find(questionId);
    if (entry == questions.end())
        return;
    entry->failure = reason;
    markItem(questionId, true);
    if (questionId == currentQuestionId) {
        renderedQuestionId = 0; // the note is not a continuation: draw anew
        refreshAnswerView();
    }
}

void MainWindow::onAnswerRestarted(int questionId) {
    auto entry = questions.find(questionId);
    if (entry == questions.end())
        return;
    entry->answer.clear();
    entry->done = false;
    entry->failure.clear();
    entry->thinkingSince = 0;
    // The new answer's figures count from the click; no pause ended it.
    entry->endedAt = QDateTime::currentMSecsSinceEpoch();
    entry->silenceMs = -1;
    entry->firstTextMs = -1;
    entry->completeMs = -1;
    markItem(questionId, false);
    if (questionId == currentQuestionId) {
        renderedQuestionId = 0;
        refreshAnswerView();
    }
}

void MainWindow::onRetryClicked() {
    if (application && questions.contains(currentQuestionId))
        application->askAgain(currentQuestionId);
}

void MainWindow::markItem(int questionId, bool failed) {
    for (int row = 0; row < questionList->count(); ++row) {
        QListWidgetItem *item = questionList->item(row);
        if (item->data(Qt::UserRole).toInt() != questionId)
            continue;
        const QString note = failed ? QStringLiteral("回答失败") : QString();
        item->setForeground(failed ? QColor(QStringLiteral("#d03050")) : QColor());
        item->setToolTip(note);
        item->setData(Qt::AccessibleDescriptionRole, note);
    }
}

void MainWindow::refreshAnswerView() {
    auto entry = questions.constFind(currentQuestionId);
    if (entry == questions.constEnd()) {
        answerView->clear();
        renderedQuestionId = 0;
        return;
    }
    answerTitle->setText(questionLabel(entry->id, entry->question));
    timingLabel->setText(timingLine(*entry));
    retryButton->setEnabled(entry->done || !entry->failure.isEmpty());
    if (entry->thinkingSince && entry->answer.isEmpty() && entry->failure.isEmpty()) {
        const qint64 seconds = (QDateTime::currentMSecsSinceEpoch() - entry->thinkingSince) / 1000;
        answerView->setHtml(
            QStringLiteral("<p style=\"color:#999999\">思考中… %1 秒</p>").arg(seconds));
        renderedQuestionId = 0; // the answer, when it comes, is drawn anew
        return;
    }
    const QString markdown = answerMarkdown(*entry);
    // The same answer growing needs only its new tail laid out; another one is drawn anew.
    if (renderedQuestionId == entry->id)
        answerRenderer->update(markdown);
    else
        answerRenderer->show(markdown);
    renderedQuestionId = entry->id;
}

} // namespace Kelvane
