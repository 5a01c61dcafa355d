#include "TextDecoding.h"

#include <QStringDecoder>

namespace Kelvane {

namespace {

QString nameOf(QStringConverter::Encoding encoding) {
    return QString::fromLatin1(QStringConverter::nameForEncoding(encoding));
}

} // namespace

DecodedText decodeText(const QByteArray &bytes) {
    if (const auto marked = QStringConverter::encodingForData(bytes)) {
        QStringDecoder decoder(*marked); // (it drops the mark)
        return {decoder(bytes), nameOf(*marked)};
    }
    QStringDecoder utf8(QStringConverter::Utf8);
    const QString text = utf8(bytes);
    if (!utf8.hasError())
        return {text, nameOf(QStringConverter::Utf8)};
    QStringDecoder chinese("GB18030");
    if (chinese.isValid())
        return {chinese(bytes), QStringLiteral("GB18030")};
    // Without ICU (a Qt built without it) no GB18030: the system's own code page (GBK on a
    // Chinese Windows) is the best there is, and the user is told.
    QStringDecoder system(QStringConverter::System);
    return {system(bytes), QStringLiteral("系统编码（GB18030 不可用）")};
}

} // namespace Kelvane
