#pragma once

#include <QString>

class QTextDocument;
class QTextEdit;

namespace Kelvane {

// Shows a Markdown text in a text edit exactly as QTextEdit::setMarkdown would, but when the
// text only grows (an answer streaming in), it replaces just the blocks that changed, so the
// view lays out the new tail instead of the whole answer again.
class MarkdownView {
public:
    explicit MarkdownView(QTextEdit *view);
    ~MarkdownView();
    MarkdownView(const MarkdownView &) = delete;
    MarkdownView &operator=(const MarkdownView &) = delete;

    // Shows markdown from scratch.
    void show(const QString &markdown);
    // Shows markdown, which continues what is shown now.
    void update(const QString &markdown);
    void clear();

    // True when two documents hold the same blocks with the same formats.
    static bool sameContent(const QTextDocument &a, const QTextDocument &b, int fromBlock = 0);

private:
    QTextEdit *view;
    QTextDocument *scratch;
};

} // namespace Kelvane
