#pragma once

#include "Settings.h"

#include <QDialog>
#include <QMap>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QKeySequenceEdit;
class QSlider;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

namespace Kelvane {

class ServiceCheck;

// Keys, endpoints, model and capture device, grouped by service. Values set from the
// environment show read-only with the variable's name; secrets are masked until revealed.
class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    // note: one line above the groups (first run, or that changes apply at the next start).
    SettingsDialog(const Settings &settings, const QString &note, QWidget *parent = nullptr);

    // What the fields say now.
    Settings settings() const;
    // Puts the cursor into the field of a settings key.
    void focusField(const QString &key);
    // Which shortcuts could not be taken from other programs, and why (by settings key).
    void showShortcutProblems(const QMap<QString, QString> &problems);
    // 从文件载入: a .txt or .md file into a profile field. Returns the encoding it was read
    // with, empty when it cannot be read.
    static QString loadProfileFile(QPlainTextEdit *edit, const QString &path);

private:
    QLineEdit *addText(QFormLayout *form, const QString &label, const QString &key,
                       const char *name, bool secret = false);
    QPlainTextEdit *addProfileText(QFormLayout *form, const QString &label, const QString &key,
                                   const char *name);
    static QString credentialHint(const QString &key);
    QComboBox *addChoice(QFormLayout *form, const QString &label, const QString &key,
                         const char *name, const QStringList &choices);
    void noteEnvironment(QFormLayout *form, QWidget *field, const QString &key);
    QWidget *makeShortcutGroup();
    void takeShortcuts(Settings &result) const;
    void testConnections();
    void fillModels();

    Settings values;
    QLineEdit *asrAppId = nullptr;
    QLineEdit *asrToken = nullptr;
    QComboBox *asrResource = nullptr;
    QPlainTextEdit *hotwords = nullptr;
    QCheckBox *audioFollow = nullptr;
    QLineEdit *asrUrl = nullptr;
    QLineEdit *llmKey = nullptr;
    QLineEdit *llmUrl = nullptr;
    QComboBox *llmModel = nullptr;
    QCheckBox *llmThinking = nullptr;
    QCheckBox *llmEarly = nullptr;
    QComboBox *audioDevice = nullptr;
    QPlainTextEdit *resume = nullptr;
    QPlainTextEdit *jobDescription = nullptr;
    QSpinBox *contextRounds = nullptr;
    QLabel *asrResult = nullptr;
    QLabel *llmResult = nullptr;
    ServiceCheck *check = nullptr;
    QMap<QString, QKeySequenceEdit *> hotkeyEdits;
    QCheckBox *onTop = nullptr;
    QSlider *opacity = nullptr;
    QComboBox *theme = nullptr;
    QMap<QString, QLabel *> hotkeyStatus;
};

} // namespace Kelvane
