#include "Session.h"

#include <QSettings>
#include <QSignalSpy>

namespace KelvaneTest {

namespace {

StandinAsrServer::Options asrOptions(const QStringList &script) {
    StandinAsrServer::Options options;
    options.script = script;
    options.quiet = true;
    return options;
}

StandinChatServer::Options chatOptions() {
    StandinChatServer::Options options;
    options.apiKey = QStringLiteral("sk-session");
    options.deltaIntervalMs = 2;
    options.quiet = true;
    return options;
}

} // namespace

Session::Session(const QStringList &script, std::shared_ptr<ScriptedAudioPlatform::Script> device)
    : asr(asrOptions(script))
    , chat(chatOptions())
    , device(std::move(device)) {
    KelvaneTest::usePrivateSettings(config.path());
    if (!asr.listen() || !chat.listen())
        return;
    qputenv("KELVANE_ASR_URL", asr.url().toUtf8());
    qputenv("KELVANE_LLM_URL", chat.url().toUtf8());
    qputenv("KELVANE_LLM_API_KEY", "sk-session");
    qputenv("KELVANE_ASR_APP_ID", "app-session-01");
    qputenv("KELVANE_ASR_ACCESS_TOKEN", "token-session-0001");
    app = std::make_unique<Kelvane::Application>(
        [script = this->device]() { return std::make_unique<ScriptedAudioPlatform>(script); });
    app->initialize();
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

void Session::click(const char *buttonName) {
    QTest::mouseClick(widget<QPushButton>(buttonName), Qt::LeftButton);
}

bool Session::startAndWaitForSession() {
    // The first audio frame shows the client streams, not only that the service accepted.
    QSignalSpy streaming(&asr, &StandinAsrServer::audioReceived);
    click("startButton");
    return streaming.wait(10000);
}

void Session::speak(int loudBuffers) {
    device->queuePacket(ScriptedAudioPlatform::loudPacket(), loudBuffers);
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

bool Session::waitForAnswers(int count) {
    return QTest::qWaitFor([&] { return answersDone >= count; }, 20000);
}

} // namespace KelvaneTest
