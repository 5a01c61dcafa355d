#include "ServiceCheck.h"

#include <QTimer>

namespace Kelvane {

void ServiceCheck::checkRecognition(const AsrConfig &config) {
    if (recognition)
        recognition->deleteLater();
    auto *client = new ASRClient(this);
    recognition = client;
    client->setConfig(config);
    // The first outcome is the answer; the client goes with it.
    auto answer = [this, client](bool ok, const QString &text) {
        if (recognition != client)
            return;
        recognition = nullptr;
        client->disconnect(this);
        client->disconnectFromServer();
        client->deleteLater();
        emit recognitionChecked(ok, QStringLiteral("识别服务：") + text);
    };
    connect(client, &ASRClient::sessionReady, this, [answer]() { answer(true, "连接成功"); });
    connect(client, &ASRClient::connectionFailed, this, [answer](int status, const QString &error) {
        answer(false, (status ? QStringLiteral("拒绝连接（HTTP %1）").arg(status)
                              : QStringLiteral("无法连接")) +
                          QStringLiteral("：") + error);
    });
    connect(client, &ASRClient::sessionRefused, this, [answer](int code, const QString &message) {
        answer(false, QStringLiteral("拒绝会话（%1）：%2").arg(code).arg(message));
    });
    connect(client, &ASRClient::sessionEnded, this,
            [answer]() { answer(false, QStringLiteral("连接被关闭")); });
    QTimer::singleShot(10000, client, [answer]() { answer(false, QStringLiteral("连接超时")); });
    client->connectToService();
}

LLMClient *ServiceCheck::chatClient(const LlmConfig &config) {
    if (!chat)
        chat = new LLMClient(this);
    chat->setConfig(config);
    return chat;
}

void ServiceCheck::checkChat(const LlmConfig &config) {
    chatClient(config)->fetchModels([this](const QStringList &models, const QString &error) {
        if (error.isEmpty())
            emit chatChecked(true,
                             QStringLiteral("对话服务：连接成功（%1 个模型）").arg(models.size()));
        else
            emit chatChecked(false, QStringLiteral("对话服务：") + error);
    });
}

void ServiceCheck::fetchModels(const LlmConfig &config) {
    chatClient(config)->fetchModels([this](const QStringList &models, const QString &error) {
        emit modelsFetched(models, error);
    });
}

} // namespace Kelvane
