#pragma once

#include "Application.h"
#include "MainWindow.h"
#include "ScriptedAudioPlatform.h"
#include "StandinAsrServer.h"
#include "StandinChatServer.h"
#include "TestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>

#include <memory>

namespace KelvaneTest {

// A whole session in this process: both stand-ins on 127.0.0.1, the controller on a scripted
// device (or, given none, on the sound server this process points at), and the window, shown
// offscreen.
class Session {
public:
    explicit Session(const QStringList &script = {QStringLiteral("什么是多态")},
                     std::shared_ptr<ScriptedAudioPlatform::Script> device =
                         std::make_shared<ScriptedAudioPlatform::Script>());
    ~Session();

    bool ready() const { return ok; } // the stand-ins listen and the window is up

    template <typename T> T *widget(const char *name) const {
        return window->findChild<T *>(QLatin1String(name));
    }
    QString status() const { return widget<QLabel>("statusLabel")->text(); }
    QListWidget *list() const { return widget<QListWidget>("questionList"); }
    QString question(int row) const { // the list's text for the row, "<none>" without one
        return list()->item(row) ? list()->item(row)->text() : QStringLiteral("<none>");
    }

    void click(const char *button) {
        QTest::mouseClick(widget<QPushButton>(button), Qt::LeftButton);
    }
    // Clicks 开始 and waits until audio streams to the recogniser (false if not ready()).
    bool startAndWaitForSession();
    // The interviewer speaks the next line of the script: loud packets, then quiet.
    void speak(int loudBuffers = 40) {
        device->queuePacket(ScriptedAudioPlatform::loudPacket(), loudBuffers);
    }
    // The recogniser reports this as the session's whole text, whatever it heard.
    void recognise(const QString &text);
    // Speaks and waits until the question list has grown by one.
    bool askByVoice();
    // Back to 正在监听 (after a fault), a question spoken is asked as the first one.
    bool listensAndAsks(const QString &question) {
        return QTest::qWaitFor([this] { return status() == QStringLiteral("正在监听"); }, 15000) &&
               askByVoice() && this->question(0) == QStringLiteral("Q1: ") + question;
    }
    // Selects the row as a user would and returns the answer pane's text.
    QString answerOf(int row);
    // Waits until this many answers reached their end in the window.
    bool waitForAnswers(int count) {
        return QTest::qWaitFor([&] { return answersDone >= count; }, 20000);
    }

    LogLines log;         // first: everything after it logs into it
    QStringList statuses; // every status the controller reported, to its last
    QTemporaryDir config; // the settings file lives here, never in the user's own
    StandinAsrServer asr;
    StandinChatServer chat;
    std::shared_ptr<ScriptedAudioPlatform::Script> device;
    std::unique_ptr<Kelvane::Application> app;
    std::unique_ptr<Kelvane::MainWindow> window;

private:
    bool ok = false;
    int answersDone = 0;
};

} // namespace KelvaneTest
