#include "MainWindow.h"

#include "AnswerReader.h"
#include "Application.h"

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

// The window's whole style, its colours named by the theme ("@text" …).
const char *const kWindowStyle = R"css(
QWidget#central, QWidget#controlBar, QWidget#statusRow { background-color: @window; }
QWidget#controlBar { border-bottom: 1px solid @border; }
QLabel[role="caption"] { font-size: 12px; color: @text; font-weight: 600; }
QLineEdit { background-color: @panel; color: @text; border: 1px solid @border;
  border-radius: 4px; padding: 6px 8px; font-size: 12px; }
QLineEdit:focus { border: 1px solid @accent; }
QPushButton { background-color: @hover; color: @text; border: 1px solid @border;
  border-radius: 6px; padding: 8px 12px; font-size: 13px; font-weight: 600; }
QPushButton:hover { border-color: @accent; }
QPushButton:disabled { background-color: @window; color: @disabled; border-color: @border; }
QPushButton:checked { background-color: @selection; color: @accentText; border-color: @accent; }
QPushButton[role="step"] { background-color: @panel; padding: 0px; font-size: 14px; }
QPushButton#compactButton, QPushButton#followPlayingButton { padding: 2px 10px;
  font-size: 12px; border-radius: 4px; }
QPushButton#startButton { background-color: @accent; color: @textOnAccent;
  border-color: @accent; padding: 8px 18px; }
QPushButton#startButton:hover { background-color: @accentHover; }
QPushButton#startButton:disabled { background-color: @hover; color: @disabled;
  border-color: @border; }
QLabel#statusLabel { font-size: 12px; color: @secondary; font-weight: 500; }
QLabel#transcriptLabel { color: @muted; }
QLabel#playingHint { color: @warning; font-size: 12px; }
QSplitter::handle { background-color: @border; }
QWidget#leftPanel { background-color: @window; border-right: 1px solid @border; }
QWidget#rightPanel { background-color: @panel; }
QLabel#listTitle, QLabel#answerTitle { background-color: @panel; color: @text;
  padding: 12px 18px; font-size: 13px; font-weight: 700; border-bottom: 1px solid @border; }
QListWidget { background-color: @panel; border: none; padding: 6px; font-size: 13px;
  outline: none; }
QListWidget::item { padding: 10px 12px; border-bottom: 1px solid @border; color: @text;
  border-radius: 4px; margin: 2px; }
QListWidget::item:hover { background-color: @hover; }
QListWidget::item:selected { background-color: @selection; color: @accentText;
  border-left: 3px solid @accent; font-weight: 600; }
QTextEdit#answerView { background-color: @panel; border: none; padding: 18px 22px;
  color: @text; }
QLabel#timingLabel { color: @muted; font-size: 11px; padding: 0px 18px; }
QLabel#moreBelowLabel { background-color: @panel; color: @secondary; border: 1px solid @border;
  border-radius: 10px; padding: 2px 10px; font-size: 12px; }
QToolButton#copyCodeButton { background-color: @hover; color: @text; border: 1px solid @border;
  border-radius: 4px; padding: 1px 8px; font-size: 12px; }
)css";

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
    centralWidget->setObjectName(QStringLiteral("central"));
    setCentralWidget(centralWidget);
    auto *mainLayout = new QVBoxLayout(centralWidget);
    mainLayout->setSpacing(0);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->addWidget(makeControlBar());
    mainLayout->addWidget(makeStatusRow());

    splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setHandleWidth(3);
    leftPanel = new QWidget();
    leftPanel->setObjectName(QStringLiteral("leftPanel"));
    auto *leftPanelLayout = new QVBoxLayout(leftPanel);
    leftPanelLayout->setSpacing(0);
    leftPanelLayout->setContentsMargins(0, 0, 0, 0);
    auto *listTitle = new QLabel(QStringLiteral("问题列表"), leftPanel);
    listTitle->setObjectName(QStringLiteral("listTitle"));
    listTitle->setFixedHeight(44);
    questionList = new QListWidget(leftPanel);
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
    controlBar = new QWidget(this);
    controlBar->setObjectName(QStringLiteral("controlBar"));
    controlBar->setAttribute(Qt::WA_StyledBackground);
    auto *controls = new QHBoxLayout(controlBar);
    controls->setSpacing(10);
    controls->setContentsMargins(16, 8, 16, 8);

    directionEdit = new QLineEdit(controlBar);
    directionEdit->setPlaceholderText(QStringLiteral("如 Java后端"));
    directionEdit->setText(QStringLiteral("Java后端"));
    directionEdit->setFixedWidth(120);
    directionEdit->setAccessibleName(QStringLiteral("方向"));
    connect(directionEdit, &QLineEdit::editingFinished, this, &MainWindow::onDirectionChanged);

    minusButton = new QPushButton(QStringLiteral("-"), controlBar);
    plusButton = new QPushButton(QStringLiteral("+"), controlBar);
    for (QPushButton *step : {minusButton, plusButton}) {
        step->setFixedSize(26, 26);
        step->setProperty("role", QStringLiteral("step"));
    }
    minusButton->setAccessibleName(QStringLiteral("静音减少"));
    plusButton->setAccessibleName(QStringLiteral("静音增加"));
    connect(minusButton, &QPushButton::clicked, this, [this]() { stepSilenceField(-100); });
    connect(plusButton, &QPushButton::clicked, this, [this]() { stepSilenceField(100); });

    silenceEdit = new QLineEdit(controlBar);
    silenceEdit->setText(QStringLiteral("1000"));
    silenceEdit->setFixedWidth(60);
    silenceEdit->setAlignment(Qt::AlignCenter);
    silenceEdit->setAccessibleName(QStringLiteral("静音 (ms)"));

    startButton = new QPushButton(QStringLiteral("开始"), controlBar);
    connect(startButton, &QPushButton::clicked, this, &MainWindow::onStartListeningClicked);
    stopButton = new QPushButton(QStringLiteral("停止"), controlBar);
    stopButton->setEnabled(false);
    connect(stopButton, &QPushButton::clicked, this, &MainWindow::onStopListeningClicked);
    for (QPushButton *button : {startButton, stopButton}) {
        button->setMinimumWidth(72);
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
    // Keeps the window above the meeting's (where the platform lets a program do that).
    onTopButton = new QPushButton(QStringLiteral("置顶"), controlBar);
    onTopButton->setCheckable(true);
    onTopButton->setAccessibleName(QStringLiteral("置顶"));
    connect(onTopButton, &QPushButton::toggled, this, &MainWindow::setOnTop);

    const auto caption = [bar = controlBar](const QString &text) {
        auto *label = new QLabel(text, bar);
        label->setProperty("role", QStringLiteral("caption"));
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
                                settingsButton, exportButton, onTopButton})
        controls->addWidget(button);
    controls->addStretch(1);
    return controlBar;
}

// One line under the controls: how loud the sound is, the status, and what is heard of the
// question in progress. It stays in 精简 mode.
QWidget *MainWindow::makeStatusRow() {
    auto *row = new QWidget(this);
    row->setObjectName(QStringLiteral("statusRow"));
    row->setAttribute(Qt::WA_StyledBackground);
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

    // A label whose text changes says that text to a screen reader first; what it is goes
    // in its description.
    statusLabel = new QLabel(row);
    statusLabel->setAccessibleDescription(QStringLiteral("状态"));
    showStatus(QStringLiteral("就绪"), QString());

    // What the recogniser hears of the question in progress, one line.
    transcriptLabel = new QLabel(row);
    transcriptLabel->setAccessibleDescription(QStringLiteral("正在听到"));
    transcriptLabel->setMinimumWidth(1);
    transcriptLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

    // Where the meeting plays when the recorded device is silent, and the way there.
    playingHint = new QLabel(row);
    playingHint->hide();
    followButton = new QPushButton(QStringLiteral("改听此设备"), row);
    followButton->hide();
    connect(followButton, &QPushButton::clicked, this, [this]() {
        if (application && !playingDevice.isEmpty())
            application->followPlaying(playingDevice);
    });

    compactButton = new QPushButton(QStringLiteral("精简"), row);
    compactButton->setCheckable(true);
    compactButton->setAccessibleName(QStringLiteral("精简模式"));
    compactButton->setToolTip(QStringLiteral("只留问题、回答和状态（Ctrl+J）"));
    connect(compactButton, &QPushButton::toggled, this, &MainWindow::setCompact);

    layout->addWidget(levelMeter);
    layout->addWidget(playingHint);
    layout->addWidget(followButton);
    layout->addWidget(statusLabel);
    layout->addSpacing(12);
    layout->addWidget(transcriptLabel, 1);
    layout->addWidget(compactButton);
    return row;
}

QWidget *MainWindow::makeAnswerPanel() {
    auto *rightPanel = new QWidget();
    rightPanel->setObjectName(QStringLiteral("rightPanel"));
    auto *rightPanelLayout = new QVBoxLayout(rightPanel);
    rightPanelLayout->setSpacing(6);
    rightPanelLayout->setContentsMargins(0, 0, 0, 0);
    answerTitle = new QLabel(QStringLiteral("提示"), rightPanel);
    answerTitle->setAccessibleName(answerTitle->text());
    answerTitle->setAccessibleDescription(QStringLiteral("当前问题"));
    answerTitle->setWordWrap(true);
    answerTitle->setMinimumHeight(44);
    answerView = new QTextEdit(rightPanel);
    answerView->setReadOnly(true);
    answerView->setAccessibleName(QStringLiteral("回答"));
    reader = new AnswerReader(answerView);

    retryButton = new QPushButton(QStringLiteral("重新回答"), rightPanel);
    retryButton->setEnabled(false);
    connect(retryButton, &QPushButton::clicked, this, &MainWindow::onRetryClicked);
    auto *titleRow = new QHBoxLayout();
    titleRow->setContentsMargins(0, 0, 12, 0);
    titleRow->addWidget(answerTitle, 1);
    titleRow->addWidget(retryButton);

    timingLabel = new QLabel(rightPanel);
    timingLabel->setAccessibleDescription(QStringLiteral("用时"));
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
        {onTopButton, "onTopButton"},
        {compactButton, "compactButton"},
    };
    for (const auto &[widget, name] : names)
        widget->setObjectName(QLatin1String(name));
}

QString MainWindow::windowStyle() {
    return QString::fromUtf8(kWindowStyle);
}

} // namespace Kelvane
