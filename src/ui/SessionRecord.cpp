#include "SessionRecord.h"

#include <QStringList>

namespace Kelvane {

namespace {

// A service's error text shown as it is, not as Markdown.
QString escapedMarkdown(const QString &text) {
    QString escaped;
    for (const QChar c : text) {
        if (QStringLiteral("\\`*_{}[]<>()#+-!|~").contains(c))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

} // namespace

QString questionLabel(int number, const QString &question) {
    return QStringLiteral("Q%1: %2").arg(number).arg(question);
}

QString timingLine(const QuestionEntry &entry) {
    QStringList figures;
    const std::pair<const char *, qint64> parts[] = {
        {"静音", entry.silenceMs}, {"首字", entry.firstTextMs}, {"完成", entry.completeMs}};
    for (const auto &[name, ms] : parts)
        if (ms >= 0)
            figures.append(QStringLiteral("%1 %2 s")
                               .arg(QString::fromUtf8(name))
                               .arg(double(ms) / 1000.0, 0, 'f', 1));
    return figures.join(QStringLiteral(" · "));
}

QString answerMarkdown(const QuestionEntry &entry) {
    if (entry.failure.isEmpty())
        return entry.answer;
    const QString reason = escapedMarkdown(entry.failure);
    return entry.answer.isEmpty() ? QStringLiteral("回答失败：") + reason
                                  : entry.answer + QStringLiteral("\n\n> 回答不完整：") + reason;
}

QString sessionMarkdown(const QString &direction, const QList<QuestionEntry> &questions) {
    QString text = QStringLiteral("# 面试记录\n\n面试方向：%1\n").arg(direction);
    int number = 0;
    for (const QuestionEntry &entry : questions) {
        if (entry.remark) {
            text += QStringLiteral("\n> 面试官：") + escapedMarkdown(entry.question) +
                    QLatin1Char('\n');
            continue;
        }
        text += QStringLiteral("\n## ") + questionLabel(++number, entry.question) +
                QStringLiteral("\n\n");
        const QString answer = answerMarkdown(entry);
        text += answer.isEmpty() ? QStringLiteral("（尚无回答）") : answer;
        if (!entry.done && entry.failure.isEmpty() && !entry.answer.isEmpty())
            text += QStringLiteral("\n\n> 回答尚未结束");
        const QString timing = timingLine(entry);
        if (!timing.isEmpty())
            text += QStringLiteral("\n\n*") + timing + QLatin1Char('*');
        text += QLatin1Char('\n');
    }
    return text;
}

} // namespace Kelvane
