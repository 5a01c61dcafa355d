#pragma once

#include "CodeHighlighter.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLabel;
class QTextEdit;
class QToolButton;
class QWidget;

namespace Kelvane {

class MarkdownView;

// The answer pane as a reader needs it at a glance. An answer streams faster than anyone
// reads, so the pane never chases its end: it starts at the answer's top and stays where the
// reader is, through every re-render, table or code or not; "下面还有" says when more lies
// below. Code blocks are coloured and each has a 复制 button; the font zooms.
class AnswerReader : public QObject {
    Q_OBJECT

public:
    static constexpr int kBasePixels = 15;
    static constexpr int kMinZoom = 70;
    static constexpr int kMaxZoom = 250;

    explicit AnswerReader(QTextEdit *view);
    ~AnswerReader() override;

    // Draws an answer: the same answer grown keeps the reader's place, another starts at its
    // top.
    void show(const QString &markdown, bool sameAnswer);
    // A note instead of an answer (思考中…).
    void showNote(const QString &html);
    void clear();
    void setZoom(int percent);
    void setCodeColours(const CodeHighlighter::Colours &colours);
    // One page down (+1) or up (-1), as the reader asks from the keyboard.
    void page(int direction);
    bool moreBelow() const;

signals:
    // Ctrl and the wheel over the answer: one step larger (+1) or smaller (-1).
    void zoomStep(int steps);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void render(const std::function<void()> &draw, const std::function<int()> &placeAfter);
    void placeCopyButtons();
    void updateMarker();

    QTextEdit *view;
    std::unique_ptr<MarkdownView> renderer;
    CodeHighlighter *highlighter;
    QList<QToolButton *> copyButtons;
    QLabel *marker;
    QWidget *viewport;
    int place = 0;          // the reader's place: the scroll position they chose
    bool restoring = false; // moving the view back there, not the reader scrolling
};

} // namespace Kelvane
