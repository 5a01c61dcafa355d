#include "Session.h"

#include "AsrWire.h"

#include <QSettings>
#include <QSignalSpy>

namespace KelvaneTest {

Session::Session(const QStringList &script, std::shared_ptr<ScriptedAudioPlatform::Script> played)
    : asr([&script] {
        StandinAsrServer::Options options;
        options.script = script;
        options.quiet = true;
        return options;
    }())
    , chat([] {
        StandinChatServer::Options options;
        options.apiKey = QStringLiteral("sk-session");
        options.deltaIntervalMs = 2;
        options.quiet = true;
        return options;
    }())
    , device(std::move(played)) {
    KelvaneTest::usePrivateSettings(config.path());
    if (!asr.listen() || !chat.listen())
        return;
    qputenv("KELVANE_ASR_URL", asr.url().toUtf8());
    qputenv("KELVANE_LLM_URL", chat.url().toUtf8());
    qputenv("KELVANE_LLM_API_KEY", "sk-session");
    qputenv("KELVANE_ASR_APP_ID", "app-session-01");
    qputenv("KELVANE_ASR_ACCESS_TOKEN", "token-session-0001");
    Kelvane::AudioPlatformFactory scripted; // none: the platform's own, on a real server
    if (device)
        scripted = [script = device]() { return std::make_unique<ScriptedAudioPlatform>(script); };
    app = std::make_unique<Kelvane::Application>(scripted);
    app->initialize();
    QObject::connect(app.get(), &Kelvane::Application::statusChanged,
                     [this](const QString &text) { statuses.append(text); });
    QObject::connect(app.get(), &Kelvane::Application::llmResponse,
                     [this](int, const QString &, bool isDone) { answersDone += isDone ? 1 : 0; });
    window = std::make_unique<Kelvane::MainWindow>();
    window->setApplication(app.get());
    window->show();
    ok = QTest::qWaitForWindowExposed(window.get());
}

Session::~Session() {
    window.reset();
    app.reset();
}

bool Session::startAndWaitForSession() {
    if (!ok)
        return false;
    // The first audio frame of the new session shows the client streams, not only that the
    // service accepted (the last frame of a session just stopped may still arrive).
    const qsizetype sessions = asr.fullRequests.size();
    QSignalSpy streaming(&asr, &StandinAsrServer::audioReceived);
    click("startButton");
    if (!QTest::qWaitFor([&] { return asr.fullRequests.size() > sessions; }, 10000))
        return false;
    streaming.clear();
    return streaming.wait(10000);
}

void Session::recognise(const QString &text) {
    asr.sendToClients(
        AsrWire::serverFrame(AsrWire::FullServerResponse, 1, 1,
                             QStringLiteral(R"({"result":{"text":"%1"}})").arg(text).toUtf8()));
}

bool Session::askByVoice() {
    const int before = list()->count();
    speak();
    return QTest::qWaitFor([&] { return list()->count() == before + 1; }, 15000);
}

QString Session::answerOf(int row) {
    QListWidget *questions = list();
    QListWidgetItem *item = questions->item(row);
    if (!item)
        return QStringLiteral("<no row %1>").arg(row);
    QTest::qWait(QApplication::doubleClickInterval() + 20);
    QTest::mouseClick(questions->viewport(), Qt::LeftButton, {},
                      questions->visualItemRect(item).center());
    return widget<QTextEdit>("answerView")->toPlainText();
}

} // namespace KelvaneTest
