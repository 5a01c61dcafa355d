#pragma once

#include <QString>

#include <vector>

namespace Kelvane {

// Small text rules for what the recogniser wrote, shared by everything that compares or joins
// pieces of speech.
namespace SpeechText {

// The words alone: no punctuation, no spaces, no case. positions: where each one stands in
// the text.
QString words(const QString &text, std::vector<qsizetype> *positions = nullptr);
// Two pieces as one stretch of speech: a pause's comma or full stop at the end of the first
// goes, a question mark stays, and a space stands only between two Latin words.
QString join(const QString &first, const QString &second);
// The text after the first `count` sentences (an unfinished one counts), empty when there are
// no more.
QString afterSentences(const QString &text, int count);
int sentences(const QString &text);

} // namespace SpeechText

} // namespace Kelvane
