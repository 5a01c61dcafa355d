#include "MainWindow.h"

#include "Application.h"
#include "MarkdownView.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
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

#include <utility>

// How the window looks: its widgets, their layout and style. What they do is in MainWindow.cpp.
namespace Kelvane {

namespace {

const char *const kCentralStyle = "background-color: #f7f7f7;";
// (the bar's own rule only: its captions carry no line of their own)
const char *const kBarStyle = "QWidget#controlBar { background-color: #f7f7f7; color: #111111; "
                              "border-bottom: 1px solid #dcdcdc; }";
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

} // namespace

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
    auto *centralWidget = new QWidget(this);
    setCentralWidget(centralWidget);
    centralWidget->setStyleSheet(kCentralStyle);
    auto *mainLayout = new QVBoxLayout(centralWidget);
    mainLayout->setSpacing(0);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->addWidget(makeControlBar());
    mainLayout->addWidget(makeStatusRow());

    splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setHandleWidth(3);
    splitter->setStyleSheet(kSplitterStyle);
    auto *leftPanel = new QWidget();
    leftPanel->setStyleSheet(kLeftPanelStyle);
    auto *leftPanelLayout = new QVBoxLayout(leftPanel);
    leftPanelLayout->setSpacing(0);
    leftPanelLayout->setContentsMargins(0, 0, 0, 0);
    auto *listTitle = new QLabel(QStringLiteral("问题列表"), leftPanel);
    listTitle->setStyleSheet(kPanelTitleStyle);
    listTitle->setFixedHeight(48);
    questionList = new QListWidget(leftPanel);
    questionList->setStyleSheet(kQuestionListStyle);
    connect(questionList, &QListWidget::itemClicked, this, &MainWindow::onQuestionItemClicked);
    leftPanelLayout->addWidget(listTitle);
    leftPanelLayout->addWidget(questionList);
    splitter->addWidget(leftPanel);
    splitter->addWidget(makeAnswerPanel());
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 7);
    // The questions and the answer take every line the controls leave.
    mainLayout->addWidget(splitter, 1);

    // While an answer is still only thought about, its pane counts the seconds.
    thinkingClock = new QTimer(this);
    thinkingClock->setInterval(1000);
    connect(thinkingClock, &QTimer::timeout, this, &MainWindow::refreshAnswerView);
    nameWidgets();
}

QWidget *MainWindow::makeControlBar() {
    auto *controlBar = new QWidget(this);
    controlBar->setObjectName(QStringLiteral("controlBar"));
    controlBar->setAttribute(Qt::WA_StyledBackground);
    controlBar->setStyleSheet(kBarStyle);
    auto *controls = new QHBoxLayout(controlBar);
    controls->setSpacing(10);
    controls->setContentsMargins(16, 8, 16, 8);

    directionEdit = new QLineEdit(controlBar);
    directionEdit->setPlaceholderText(QStringLiteral("如 Java后端"));
    directionEdit->setText(QStringLiteral("Java后端"));
    directionEdit->setFixedWidth(120);
    directionEdit->setStyleSheet(kDirectionFieldStyle);
    directionEdit->setAccessibleName(QStringLiteral("方向"));
    connect(directionEdit, &QLineEdit::editingFinished, this, &MainWindow::onDirectionChanged);

    minusButton = new QPushButton(QStringLiteral("-"), controlBar);
    plusButton = new QPushButton(QStringLiteral("+"), controlBar);
    for (QPushButton *step : {minusButton, plusButton}) {
        step->setFixedSize(26, 26);
        step->setStyleSheet(kStepButtonStyle);
    }
    minusButton->setAccessibleName(QStringLiteral("静音减少"));
    plusButton->setAccessibleName(QStringLiteral("静音增加"));
    connect(minusButton, &QPushButton::clicked, this, [this]() { stepSilenceField(-100); });
    connect(plusButton, &QPushButton::clicked, this, [this]() { stepSilenceField(100); });

    silenceEdit = new QLineEdit(controlBar);
    silenceEdit->setText(QStringLiteral("1000"));
    silenceEdit->setFixedWidth(60);
    silenceEdit->setAlignment(Qt::AlignCenter);
    silenceEdit->setStyleSheet(kSilenceFieldStyle);
    silenceEdit->setAccessibleName(QStringLiteral("静音 (ms)"));

    startButton = new QPushButton(QStringLiteral("开始"), controlBar);
    startButton->setStyleSheet(kStartButtonStyle);
    connect(startButton, &QPushButton::clicked, this, &MainWindow::onStartListeningClicked);
    stopButton = new QPushButton(QStringLiteral("停止"), controlBar);
    stopButton->setEnabled(false);
    stopButton->setStyleSheet(kStopButtonStyle);
    connect(stopButton, &QPushButton::clicked, this, &MainWindow::onStopListeningClicked);
    for (QPushButton *button : {startButton, stopButton}) {
        button->setMinimumWidth(90);
        button->setMaximumWidth(120);
    }

    answerNowButton = new QPushButton(QStringLiteral("立即回答"), controlBar);
    answerNowButton->setToolTip(QStringLiteral("把正在听到的内容立即作为问题（Ctrl+Enter）"));
    answerNowButton->setEnabled(false);
    connect(answerNowButton, &QPushButton::clicked, this, &MainWindow::onAnswerNow);
    // Ctrl+Enter in the window; on Windows also a global hotkey (set in setApplication).
    for (const QKeySequence &keys :
         {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &MainWindow::onAnswerNow);

    // The user's corrections of what the pause decided.
    skipButton = new QPushButton(QStringLiteral("跳过"), controlBar);
    skipButton->setAccessibleName(QStringLiteral("跳过"));
    skipButton->setToolTip(
        QStringLiteral("撤回最新的问题，记录中保留为面试官的话；正在听的内容则不再作为问题"));
    connect(skipButton, &QPushButton::clicked, this, &MainWindow::onSkip);
    mergeButton = new QPushButton(QStringLiteral("合并"), controlBar);
    mergeButton->setAccessibleName(QStringLiteral("合并"));
    mergeButton->setToolTip(QStringLiteral("把最新的问题并入上一个问题，作为一个问题重新回答"));
    connect(mergeButton, &QPushButton::clicked, this, &MainWindow::onMerge);
    for (QPushButton *button : {skipButton, mergeButton})
        button->setEnabled(false);

    exportButton = new QPushButton(QStringLiteral("导出记录"), controlBar);
    exportButton->setToolTip(QStringLiteral("把问题和回答保存为 Markdown 文件（Ctrl+S）"));
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::onExportClicked);
    connect(new QShortcut(QKeySequence::Save, this), &QShortcut::activated, this,
            &MainWindow::onExportClicked);

    settingsButton = new QPushButton(QStringLiteral("设置"), controlBar);
    connect(settingsButton, &QPushButton::clicked, this, &MainWindow::onSettingsClicked);
    for (QPushButton *button :
         {answerNowButton, skipButton, mergeButton, exportButton, settingsButton})
        button->setStyleSheet(kStopButtonStyle);

    const auto caption = [controlBar](const QString &text) {
        auto *label = new QLabel(text, controlBar);
        label->setStyleSheet(kCaptionStyle);
        return label;
    };
    controls->addWidget(caption(QStringLiteral("方向")));
    controls->addWidget(directionEdit);
    controls->addSpacing(8);
    controls->addWidget(caption(QStringLiteral("静音 (ms)")));
    controls->addWidget(minusButton);
    controls->addWidget(silenceEdit);
    controls->addWidget(plusButton);
    controls->addSpacing(12);
    for (QPushButton *button : {startButton, stopButton, answerNowButton, skipButton, mergeButton,
                                settingsButton, exportButton})
        controls->addWidget(button);
    controls->addStretch(1);
    return controlBar;
}

// One line under the controls: how loud the sound is, the status, and what is heard of the
// question in progress.
QWidget *MainWindow::makeStatusRow() {
    auto *row = new QWidget(this);
    row->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto *layout = new QHBoxLayout(row);
    layout->setSpacing(10);
    layout->setContentsMargins(16, 4, 16, 4);

    // Shows that sound arrives at all: a quiet meter while a question plays means the wrong
    // device or a muted meeting, long before no question appears.
    levelMeter = new QProgressBar(row);
    levelMeter->setRange(0, 100);
    levelMeter->setValue(0);
    levelMeter->setTextVisible(false);
    levelMeter->setFixedSize(60, 8);
    levelMeter->setAccessibleName(QStringLiteral("音量"));
    levelMeter->setToolTip(QStringLiteral("音量"));

    statusLabel = new QLabel(QStringLiteral("就绪"), row);
    statusLabel->setStyleSheet(kStatusStyle);
    statusLabel->setAccessibleName(QStringLiteral("状态"));

    // What the recogniser hears of the question in progress, one grey line.
    transcriptLabel = new QLabel(row);
    transcriptLabel->setStyleSheet(QStringLiteral("QLabel { color: #999999; }"));
    transcriptLabel->setAccessibleName(QStringLiteral("正在听到"));
    transcriptLabel->setMinimumWidth(1);
    transcriptLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

    // Where the meeting plays when the recorded device is silent, and the way there.
    playingHint = new QLabel(row);
    playingHint->setStyleSheet(QStringLiteral("QLabel { color: #b26a00; font-size: 12px; }"));
    playingHint->hide();
    followButton = new QPushButton(QStringLiteral("改听此设备"), row);
    followButton->setStyleSheet(kStopButtonStyle);
    followButton->hide();
    connect(followButton, &QPushButton::clicked, this, [this]() {
        if (application && !playingDevice.isEmpty())
            application->followPlaying(playingDevice);
    });

    layout->addWidget(levelMeter);
    layout->addWidget(playingHint);
    layout->addWidget(followButton);
    layout->addWidget(statusLabel);
    layout->addSpacing(12);
    layout->addWidget(transcriptLabel, 1);
    return row;
}

QWidget *MainWindow::makeAnswerPanel() {
    auto *rightPanel = new QWidget();
    rightPanel->setStyleSheet(kRightPanelStyle);
    auto *rightPanelLayout = new QVBoxLayout(rightPanel);
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
    rightPanelLayout->addWidget(answerView, 1);
    return rightPanel;
}

// Names for accessibility tools and tests, which find widgets by name, not position.
void MainWindow::nameWidgets() {
    const std::pair<QWidget *, const char *> names[] = {
        {directionEdit, "directionEdit"},
        {silenceEdit, "silenceEdit"},
        {minusButton, "minusButton"},
        {plusButton, "plusButton"},
        {startButton, "startButton"},
        {stopButton, "stopButton"},
        {statusLabel, "statusLabel"},
        {questionList, "questionList"},
        {answerTitle, "answerTitle"},
        {answerView, "answerView"},
        {retryButton, "retryButton"},
        {settingsButton, "settingsButton"},
        {timingLabel, "timingLabel"},
        {levelMeter, "levelMeter"},
        {answerNowButton, "answerNowButton"},
        {exportButton, "exportButton"},
        {skipButton, "skipButton"},
        {mergeButton, "mergeButton"},
        {transcriptLabel, "transcriptLabel"},
        {playingHint, "playingHint"},
        {followButton, "followPlayingButton"},
    };
    for (const auto &[widget, name] : names)
        widget->setObjectName(QLatin1String(name));
}

} // namespace Kelvane
