#include "ListeningSupervisor.h"

#include <algorithm>

namespace Kelvane {

namespace {

constexpr int kIdleTimeoutCode = 45000081; // the service ends a session that went quiet

} // namespace

void ListeningSupervisor::start() {
    asr = Asr::Connecting;
    attempts = 0;
    readyAtMs = -1;
    reason.clear();
    reasonDetail.clear();
    captureProblem.clear();
    captureDetail.clear();
}

int ListeningSupervisor::reconnectDelayMs(int attempt) {
    return attempt > 6 ? 15000 : std::min(15000, 500 << std::max(0, attempt - 1));
}

bool ListeningSupervisor::refusalIsFinal(int code) {
    return code >= 45000000 && code < 46000000 && code != kIdleTimeoutCode;
}

void ListeningSupervisor::sessionReady(qint64 nowMs) {
    asr = Asr::Streaming;
    readyAtMs = nowMs;
    reason.clear();
    reasonDetail.clear();
}

void ListeningSupervisor::textArrived() {
    attempts = 0;
}

ListeningSupervisor::Decision ListeningSupervisor::retry(const QString &why, const QString &detail,
                                                         qint64 nowMs) {
    if (asr == Asr::Stopped)
        return {};
    if (asr == Asr::Streaming && readyAtMs >= 0 && nowMs >= 0 &&
        nowMs - readyAtMs >= kHealthySessionMs)
        attempts = 0;
    asr = Asr::Retrying;
    readyAtMs = -1;
    reason = why;
    reasonDetail = detail;
    ++attempts;
    return {Next::Reconnect, reconnectDelayMs(attempts)};
}

ListeningSupervisor::Decision ListeningSupervisor::stop(const QString &text,
                                                        const QString &detail) {
    asr = Asr::Stopped;
    reason = text;
    reasonDetail = detail;
    return {Next::Stop, 0};
}

ListeningSupervisor::Decision ListeningSupervisor::connectionFailed(int httpStatus,
                                                                    const QString &error) {
    if (httpStatus == 401 || httpStatus == 403)
        // The same credentials will be refused again: retrying would only hide it.
        return stop(QStringLiteral("识别服务拒绝连接（HTTP %1）").arg(httpStatus),
                    error + QStringLiteral("\n请检查识别服务的 App ID 和 Access Token。"));
    return retry(httpStatus ? QStringLiteral("识别服务拒绝连接（HTTP %1）").arg(httpStatus)
                            : QStringLiteral("识别服务无法连接"),
                 error);
}

ListeningSupervisor::Decision ListeningSupervisor::sessionRefused(int code,
                                                                  const QString &message) {
    if (refusalIsFinal(code))
        return stop(QStringLiteral("识别服务拒绝会话（%1）").arg(code), message);
    return retry(QStringLiteral("识别服务拒绝会话（%1）").arg(code), message);
}

ListeningSupervisor::Decision ListeningSupervisor::serviceError(quint32 code,
                                                                const QString &message) {
    return retry(QStringLiteral("识别服务出错（%1）").arg(code), message);
}

ListeningSupervisor::Decision ListeningSupervisor::sessionEnded(qint64 nowMs) {
    // A refusal or error already said why this connection ends.
    if (asr == Asr::Retrying || asr == Asr::Stopped)
        return {};
    return retry(QStringLiteral("识别服务连接中断"), QString(), nowMs);
}

ListeningSupervisor::Decision ListeningSupervisor::sessionStalled(qint64 nowMs) {
    if (asr != Asr::Streaming)
        return {};
    return retry(QStringLiteral("识别服务无响应"),
                 QStringLiteral("识别服务超过 10 秒没有回应，已重新连接"), nowMs);
}

void ListeningSupervisor::captureLost(quint32 code) {
    captureProblem = QStringLiteral("音频设备丢失，正在重新打开");
    captureDetail = QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0'));
}

void ListeningSupervisor::captureUnavailable(quint32 code) {
    captureProblem = QStringLiteral("音频设备不可用，正在重试");
    captureDetail = QStringLiteral("没有可录制的播放设备");
    // The code tells a device held in exclusive mode from one that is not there at all.
    if (code)
        captureDetail += QStringLiteral("（0x%1）").arg(code, 8, 16, QLatin1Char('0'));
}

void ListeningSupervisor::captureRunning(bool fellBackToDefault) {
    captureProblem.clear();
    captureDetail.clear();
    fellBack = fellBackToDefault;
}

ListeningSupervisor::Status ListeningSupervisor::status() const {
    if (asr == Asr::Stopped)
        return {reason, reasonDetail};
    if (!captureProblem.isEmpty())
        return {captureProblem, captureDetail};
    switch (asr) {
    case Asr::Connecting:
        return {QStringLiteral("正在连接识别服务…"), QString()};
    case Asr::Streaming:
        return {QStringLiteral("正在监听"),
                fellBack ? QStringLiteral("所选的播放设备不在，已改用系统默认输出") : QString()};
    case Asr::Retrying:
        return {QStringLiteral("%1，正在重连（第 %2 次）").arg(reason).arg(attempts), reasonDetail};
    case Asr::Stopped:
        break;
    }
    return {reason, reasonDetail};
}

} // namespace Kelvane
