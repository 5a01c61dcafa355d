#pragma once

#include <QMainWindow>
#include <QMap>
#include <QString>

#include <memory>

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSplitter;
class QTextEdit;
class QTimer;

namespace Kelvane {

class AnswerReader;
class Application;
class QuestionBook;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void setApplication(Application *app);
    // An action by name, from a shortcut or from the command line of another kelvane:
    // "answer-now", "skip", "merge", "show". False for an unknown one.
    bool perform(const QString &action);
    // Writes the session as Markdown (导出记录 asks where); false when it could not.
    bool exportTo(const QString &path);

    static QIcon createAppIcon();
    // The window's style sheet, its colours named for the theme.
    static QString windowStyle();

protected:
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onStartListeningClicked();
    void onStopListeningClicked();
    void onDirectionChanged();
    void onSilenceThresholdChanged();
    void onQuestionItemClicked(QListWidgetItem *item);
    void onASRResult(const QString &text, bool isFinal);
    void onQuestionAdded(int questionId);
    void onQuestionChanged(int questionId, bool anew);
    void syncList();
    void onStatusChanged(const QString &status);
    void onListeningChanged(bool listening);
    void onRetryClicked();
    void onSettingsClicked();
    void onAnswerNow();
    void onExportClicked();
    void onPlayingElsewhere(const QString &deviceId, const QString &text);
    void onSkip();
    void onMerge();
    void refreshActions();
    // The window made for glancing at: above the meeting, faded, compact, zoomed, themed.
    void setOnTop(bool on);
    void setOpacityPercent(int percent);
    void setCompact(bool on);
    void stepZoom(int steps);
    void applyLook();

private:
    void setupUi();
    QWidget *makeControlBar();
    QWidget *makeStatusRow();
    QWidget *makeAnswerPanel();
    void nameWidgets();
    void stepSilenceField(int delta);
    int silenceInUse();
    void showTranscript(const QString &text);
    void showStatus(const QString &status, const QString &detail);
    void setupWindowKeys();
    // Where the window was, per screen setup and per mode; off every screen: the primary one.
    void restorePlacement();
    void savePlacement();
    void refreshAnswerView();
    void markItem(int questionId, bool failed);
    void watchBook();
    // Takes the shortcuts of the settings, in the window and from other programs.
    void bindShortcuts();
    QMap<QString, QString> shortcutProblems() const;
    QListWidgetItem *itemOf(int questionId) const;
    void showQuestion(int questionId);
    bool secretsReady(void (MainWindow::*again)());
    // Opens the settings dialog; true when it was saved.
    bool editSettings(const QString &note, const QString &focusKey = QString());

    Application *application = nullptr;
    QuestionBook *book = nullptr;
    QLineEdit *directionEdit = nullptr;
    QLineEdit *silenceEdit = nullptr;
    QPushButton *minusButton = nullptr;
    QPushButton *plusButton = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *stopButton = nullptr;
    QPushButton *settingsButton = nullptr;
    QPushButton *answerNowButton = nullptr;
    QPushButton *exportButton = nullptr;
    QLabel *transcriptLabel = nullptr;
    class GlobalShortcuts *shortcuts = nullptr;
    QList<QShortcut *> windowShortcuts;
    QPushButton *skipButton = nullptr;
    QPushButton *mergeButton = nullptr;
    QTimer *thinkingClock = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *levelMeter = nullptr;
    QLabel *playingHint = nullptr;
    QPushButton *followButton = nullptr;
    QString playingDevice; // the one the hint names
    QSplitter *splitter = nullptr;
    QListWidget *questionList = nullptr;
    QLabel *answerTitle = nullptr;
    QPushButton *retryButton = nullptr;
    QLabel *timingLabel = nullptr;
    QTextEdit *answerView = nullptr;
    int currentQuestionId = 0;
    // The newest question, shown once its answer begins (a question may turn out a remark).
    int pendingQuestionId = 0;
    AnswerReader *reader = nullptr;
    QWidget *controlBar = nullptr;
    QWidget *leftPanel = nullptr;
    QPushButton *onTopButton = nullptr;
    QPushButton *compactButton = nullptr;
    int zoomPercent = 100;
    bool compact = false;
    QTimer *placementSaver = nullptr;
    int renderedQuestionId = 0; // whose answer the view holds, 0 for none
};

} // namespace Kelvane
