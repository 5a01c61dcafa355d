#include "PromptBuilder.h"

#include "Remarks.h"

#include <algorithm>

namespace Kelvane {

QString PromptBuilder::systemPrompt(const QString &interviewDirection) {
    static const QString kTemplate = QStringLiteral(
        "你是一个专业的面试助手。用户正在参加 %1 方向的面试。\n"
        "你的任务是根据面试官的问题，快速提供准确、简洁的答案要点。\n"
        "答案应该专业、清晰、有逻辑，适合在面试中回答。\n"
        "\n"
        "回答要求：\n"
        "1. 技术问题：提供专业的技术答案要点\n"
        "2. 行为问题（如：介绍项目经验、团队协作等）：提供STAR法则的回答框架（情境Situation、任务"
        "Task、行动Action、结果Result）\n"
        "3. HR问题（如：职业规划、优缺点等）：提供真诚、积极的回答思路\n"
        "\n"
        "重要规则：\n"
        "- 如果问题是个人隐私问题（如：你叫什么名字、你住哪里、身份证号等个人信息），请只回复：["
        "PERSONAL_QUESTION]，不要有任何其他内容。\n"
        "- 针对 %1 方向的特点，提供最相关的答案。");
    // One pass: text inside the direction is never substituted again.
    return kTemplate.arg(interviewDirection);
}

QString PromptBuilder::notAQuestionRule() {
    return QStringLiteral("- 如果面试官的话既不是问题，也不是对候选人的要求（如寒暄、自言自语、"
                          "“我共享一下屏幕”），请只回复：") +
           Remarks::notAQuestionMarker() + QStringLiteral("，不要有任何其他内容。");
}

QString PromptBuilder::userPrompt(const QString &question, const QString &remarks) {
    const QString asked = QStringLiteral("面试官问：%1\n请提供答案要点。").arg(question);
    if (remarks.trimmed().isEmpty())
        return asked;
    return QStringLiteral("面试官先说：%1\n").arg(remarks.trimmed().left(kMaxRemarkChars)) + asked;
}

QList<ChatMessage> PromptBuilder::messages(const QString &question, const QList<Exchange> &earlier,
                                           const QString &remarks) const {
    QString system = systemPrompt(direction) + QLatin1Char('\n') + notAQuestionRule();
    const QString cv = bounded(resume);
    const QString job = bounded(jobDescription);
    if (!cv.isEmpty() || !job.isEmpty()) {
        // After the rules, so they still hold: answers draw on the candidate's own projects,
        // figures and stack, and on what the position asks for.
        system +=
            QStringLiteral("\n\n候选人资料（回答时以第一人称结合其中的真实项目、数据和技术栈，"
                           "不要编造资料中没有的经历）：");
        if (!cv.isEmpty())
            system += QStringLiteral("\n【简历】\n") + cv;
        if (!job.isEmpty())
            system += QStringLiteral("\n【职位描述】\n") + job;
    }
    QList<ChatMessage> result{{QStringLiteral("system"), system}};
    const int rounds = std::clamp(contextRounds, 0, kMaxContextRounds);
    // Roles alternate: a question whose answer has not arrived (or is empty) stays out, or two
    // user messages would follow each other, which reasoning models refuse.
    QList<Exchange> answered;
    for (const Exchange &exchange : earlier)
        if (!exchange.answer.trimmed().isEmpty())
            answered.append(exchange);
    for (qsizetype i = std::max<qsizetype>(0, answered.size() - rounds); i < answered.size(); ++i) {
        result.append(
            {QStringLiteral("user"), userPrompt(answered[i].question, answered[i].remarks)});
        QString answer = answered[i].answer.left(kMaxContextAnswerChars);
        if (answered[i].answer.size() > kMaxContextAnswerChars)
            answer += QStringLiteral("…");
        result.append({QStringLiteral("assistant"), answer});
    }
    result.append({QStringLiteral("user"), userPrompt(question, rounds > 0 ? remarks : QString())});
    return result;
}

} // namespace Kelvane
