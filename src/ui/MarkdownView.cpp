#include "MarkdownView.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTextFrame>
#include <QTextList>

namespace Kelvane {

namespace {

// A format without the index of the object (list, frame) it belongs to: that index is the
// document's own bookkeeping, compared through the objects themselves.
template <typename Format> Format withoutObject(Format format) {
    format.clearProperty(QTextFormat::ObjectIndex);
    return format;
}

bool sameFragments(const QTextBlock &a, const QTextBlock &b) {
    QTextBlock::iterator i = a.begin();
    QTextBlock::iterator j = b.begin();
    for (; !i.atEnd() && !j.atEnd(); ++i, ++j) {
        const QTextFragment fa = i.fragment();
        const QTextFragment fb = j.fragment();
        if (fa.text() != fb.text() ||
            withoutObject(fa.charFormat()) != withoutObject(fb.charFormat()))
            return false;
    }
    return i.atEnd() && j.atEnd();
}

bool sameBlock(const QTextBlock &a, const QTextBlock &b) {
    if (a.text() != b.text() || withoutObject(a.blockFormat()) != withoutObject(b.blockFormat()) ||
        withoutObject(a.charFormat()) != withoutObject(b.charFormat()) || !sameFragments(a, b))
        return false;
    const QTextList *la = a.textList();
    const QTextList *lb = b.textList();
    if (!la || !lb)
        return !la && !lb;
    return la->format() == lb->format() && la->itemNumber(a) == lb->itemNumber(b) &&
           la->count() == lb->count();
}

// Tables live in frames of their own; the block-wise update keeps away from them.
bool hasFrames(const QTextDocument &document) {
    return !document.rootFrame()->childFrames().isEmpty();
}

} // namespace

MarkdownView::MarkdownView(QTextEdit *target)
    : view(target)
    , scratch(new QTextDocument()) {
    // Undo history of a read-only view would only grow.
    view->document()->setUndoRedoEnabled(false);
}

MarkdownView::~MarkdownView() {
    delete scratch;
}

bool MarkdownView::sameContent(const QTextDocument &a, const QTextDocument &b, int fromBlock) {
    if (a.blockCount() != b.blockCount())
        return false;
    for (QTextBlock x = a.findBlockByNumber(fromBlock), y = b.findBlockByNumber(fromBlock);
         x.isValid() || y.isValid(); x = x.next(), y = y.next()) {
        if (!x.isValid() || !y.isValid() || !sameBlock(x, y))
            return false;
    }
    return true;
}

void MarkdownView::show(const QString &markdown) {
    view->setMarkdown(markdown);
    view->document()->setUndoRedoEnabled(false);
}

void MarkdownView::clear() {
    view->clear();
}

void MarkdownView::update(const QString &markdown) {
    QTextDocument *shown = view->document();
    // The importer sizes headings and code from the document's own font.
    scratch->setDefaultFont(shown->defaultFont());
    scratch->setIndentWidth(shown->indentWidth());
    scratch->setMarkdown(markdown);
    if (hasFrames(*scratch) || hasFrames(*shown)) {
        show(markdown);
        return;
    }

    // The first block that differs; a list is replaced whole, so its numbering stays one list.
    QTextBlock from = shown->begin();
    QTextBlock wanted = scratch->begin();
    while (from.isValid() && wanted.isValid() && sameBlock(from, wanted)) {
        from = from.next();
        wanted = wanted.next();
    }
    if (!wanted.isValid() && !from.isValid())
        return; // nothing changed
    if (!wanted.isValid() || !from.isValid() || wanted.blockNumber() == 0) {
        show(markdown);
        return;
    }
    if (const QTextList *list = wanted.textList())
        wanted = list->item(0);
    if (wanted.blockNumber() == 0) {
        show(markdown);
        return;
    }
    from = shown->findBlockByNumber(wanted.blockNumber());

    // Replace from the end of the block before, so the junction carries the new block's own
    // format rather than the old one's.
    const int firstChanged = wanted.blockNumber();
    QTextCursor target(shown);
    target.setPosition(from.previous().position() + from.previous().length() - 1);
    target.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    QTextCursor source(scratch);
    source.setPosition(wanted.previous().position() + wanted.previous().length() - 1);
    source.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);

    target.beginEditBlock();
    target.removeSelectedText();
    target.insertFragment(source.selection());
    target.endEditBlock();

    // Whatever the fragment machinery did, the result must be what a full render gives.
    if (!sameContent(*shown, *scratch, firstChanged - 1))
        show(markdown);
}

} // namespace Kelvane
