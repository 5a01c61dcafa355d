#pragma once

#include <QString>

namespace Kelvane {

// What the interviewer says that is not a question: acknowledgements and fillers, known by
// their words, and whatever the model marks as no question.
namespace Remarks {

// Made only of acknowledgements and fillers ("好的。", "嗯，明白了", "OK, got it."), in any
// case, with any punctuation and repeats.
bool isAcknowledgement(const QString &text);

// The model's reply when the interviewer's words ask nothing of the candidate.
inline const QString &notAQuestionMarker() {
    static const QString marker = QStringLiteral("[NOT_A_QUESTION]");
    return marker;
}

// What an answer, as far as it arrived, says of its question.
enum class Verdict {
    Undecided, // nothing yet, or the beginning of the marker
    Answer,    // text that cannot be the marker
    Remark,    // the marker alone, and the answer ended
};
Verdict verdict(const QString &answer, bool done);

} // namespace Remarks

} // namespace Kelvane
