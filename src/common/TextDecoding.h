#pragma once

#include <QByteArray>
#include <QString>

namespace Kelvane {

struct DecodedText {
    QString text;
    QString encoding; // the one used: "UTF-8", "UTF-16LE", "GB18030", …
};

// A text file as a Chinese Windows editor may have saved it: by its byte-order mark, else UTF-8
// when it is valid UTF-8, else GB18030 (which covers GBK and GB2312).
DecodedText decodeText(const QByteArray &bytes);

} // namespace Kelvane
