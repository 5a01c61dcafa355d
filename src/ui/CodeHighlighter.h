#pragma once

#include <QSyntaxHighlighter>
#include <QTextCharFormat>

namespace Kelvane {

// Colours the fenced code blocks of an answer by a small rule table per language (C++, Java,
// Python, Go, JavaScript/TypeScript, SQL, shell): keywords, strings, comments and numbers.
// The rest of the answer is left as it is. Colours come from the theme.
class CodeHighlighter : public QSyntaxHighlighter {
    Q_OBJECT

public:
    struct Colours {
        QColor keyword, string, comment, number;
    };

    explicit CodeHighlighter(QTextDocument *document);
    void setColours(const Colours &colours);

    // The rule table's name for a fence's language ("c++", "ts", "bash" …); empty when none.
    static QString language(const QString &fence);

protected:
    void highlightBlock(const QString &text) override;

private:
    QTextCharFormat keyword, string, comment, number;
};

} // namespace Kelvane
