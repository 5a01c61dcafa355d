#pragma once

#include "ASRClient.h"
#include "LLMClient.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

namespace Kelvane {

// Tries the two services with settings that are not in use yet (the settings dialog's
// "测试连接"), and reads a chat endpoint's model list. Each answer comes as one signal.
class ServiceCheck : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Handshake plus the session's first answer, within ten seconds.
    void checkRecognition(const AsrConfig &config);
    void checkChat(const LlmConfig &config);
    void fetchModels(const LlmConfig &config);

signals:
    void recognitionChecked(bool ok, const QString &text);
    void chatChecked(bool ok, const QString &text);
    void modelsFetched(const QStringList &models, const QString &error);

private:
    QPointer<ASRClient> recognition;
    LLMClient *chat = nullptr;
    LLMClient *chatClient(const LlmConfig &config);
};

} // namespace Kelvane
