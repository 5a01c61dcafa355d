// The answer view: one fragment's re-render of the whole answer as it grows to about 2,000
// tokens (6,000 Chinese characters), on the offscreen platform.

#include "Application.h"
#include "BenchSupport.h"
#include "MainWindow.h"
#include "ScriptedAudioPlatform.h"

#include <QApplication>
#include <QElapsedTimer>

#include <benchmark/benchmark.h>

namespace {

// A Markdown answer of roughly the given length in characters, shaped like real ones.
QString answerOfLength(int characters) {
    const QStringList pieces{
        QStringLiteral("## 答案要点\n\n"),
        QStringLiteral("多态是面向对象编程的核心特性之一，它允许同一接口表现出不同的行为。"),
        QStringLiteral("\n\n- **重写**：子类覆盖父类方法，运行时根据实际类型调用\n"),
        QStringLiteral("- **重载**：同名方法参数不同，编译期确定调用哪个\n\n"),
        QStringLiteral("```java\nAnimal a = new Dog();\na.speak();\n```\n\n"),
        QStringLiteral("> 回答时先给结论，再讲原理，最后举例。\n\n")};
    QString answer;
    for (int i = 0; answer.size() < characters; ++i)
        answer += pieces[i % pieces.size()];
    return answer;
}

void answerFragmentRender(benchmark::State &state) {
    SilencedLog quiet;
    auto script = std::make_shared<KelvaneTest::ScriptedAudioPlatform::Script>();
    Kelvane::Application app(
        [script]() { return std::make_unique<KelvaneTest::ScriptedAudioPlatform>(script); });
    app.initialize();
    Kelvane::MainWindow window;
    window.setApplication(&app);
    window.show();
    QApplication::processEvents();

    const int characters = int(state.range(0));
    emit app.newQuestionStarted(1, QStringLiteral("什么是多态？"));
    emit app.llmResponse(1, answerOfLength(characters), false);
    for (auto _ : state)
        emit app.llmResponse(1, QStringLiteral("。"), false); // one small fragment
    state.SetLabel(QStringLiteral("answer of %1 characters").arg(characters).toStdString());
}
BENCHMARK(answerFragmentRender)
    ->Arg(500)
    ->Arg(2000)
    ->Arg(6000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
