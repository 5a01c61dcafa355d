#include "AnswerReader.h"

#include "MarkdownView.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <QWheelEvent>

#include <functional>

namespace Kelvane {

AnswerReader::AnswerReader(QTextEdit *target)
    : QObject(target)
    , view(target)
    , renderer(std::make_unique<MarkdownView>(target))
    , highlighter(new CodeHighlighter(target->document()))
    , marker(new QLabel(QStringLiteral("下面还有 ▾"), target))
    , viewport(target->viewport()) {
    marker->setObjectName(QStringLiteral("moreBelowLabel"));
    marker->setAccessibleName(marker->text());
    marker->hide();
    QScrollBar *bar = view->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this](int value) {
        if (!restoring)
            place = value;
        placeCopyButtons();
        updateMarker();
    });
    connect(bar, &QScrollBar::rangeChanged, this, &AnswerReader::updateMarker);
    viewport->installEventFilter(this);
    setZoom(100);
}

AnswerReader::~AnswerReader() = default;

void AnswerReader::render(const std::function<void()> &draw,
                          const std::function<int()> &placeAfter) {
    restoring = true; // (whatever the view does to its scroll bar while it is drawn)
    draw();
    // Lay the whole answer out now, so the range is right before the place is set.
    view->document()->documentLayout()->documentSize();
    place = placeAfter();
    view->verticalScrollBar()->setValue(place);
    restoring = false;
    placeCopyButtons();
    updateMarker();
}

void AnswerReader::show(const QString &markdown, bool sameAnswer) {
    const int kept = sameAnswer ? place : 0;
    render([&]() { sameAnswer ? renderer->update(markdown) : renderer->show(markdown); },
           [kept]() { return kept; });
}

void AnswerReader::showNote(const QString &html) {
    render([&]() { view->setHtml(html); }, []() { return 0; });
}

void AnswerReader::clear() {
    render([&]() { renderer->clear(); }, []() { return 0; });
}

void AnswerReader::setZoom(int percent) {
    QFont font = view->font();
    font.setPixelSize(kBasePixels * std::clamp(percent, kMinZoom, kMaxZoom) / 100);
    // (the same part of the answer stays in view)
    QScrollBar *bar = view->verticalScrollBar();
    const double at = bar->maximum() > 0 ? double(bar->value()) / bar->maximum() : 0.0;
    render([&]() { view->setFont(font); }, [&]() { return int(at * bar->maximum()); });
}

void AnswerReader::setCodeColours(const CodeHighlighter::Colours &colours) {
    highlighter->setColours(colours);
}

void AnswerReader::page(int direction) {
    QScrollBar *bar = view->verticalScrollBar();
    bar->setValue(bar->value() + direction * bar->pageStep());
}

bool AnswerReader::moreBelow() const {
    return view->verticalScrollBar()->value() < view->verticalScrollBar()->maximum();
}

void AnswerReader::updateMarker() {
    marker->setVisible(moreBelow());
    marker->adjustSize();
    const QRect area = view->viewport()->geometry();
    marker->move(area.right() - marker->width() - 8, area.bottom() - marker->height() - 6);
    marker->raise();
}

// A 复制 button at the top right of each code block: it copies exactly the block's code.
void AnswerReader::placeCopyButtons() {
    QList<QTextBlock> starts;
    for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next())
        if (block.blockFormat().hasProperty(QTextFormat::BlockCodeFence) &&
            !(block.previous().isValid() &&
              block.previous().blockFormat().hasProperty(QTextFormat::BlockCodeFence)))
            starts.append(block);
    while (copyButtons.size() < starts.size()) {
        auto *button = new QToolButton(view->viewport());
        button->setText(QStringLiteral("复制"));
        button->setAccessibleName(QStringLiteral("复制"));
        button->setObjectName(QStringLiteral("copyCodeButton"));
        button->setCursor(Qt::PointingHandCursor);
        connect(button, &QToolButton::clicked, this, [button]() {
            QApplication::clipboard()->setText(button->property("code").toString());
        });
        copyButtons.append(button);
    }
    const int scrolled = view->verticalScrollBar()->value();
    QAbstractTextDocumentLayout *layout = view->document()->documentLayout();
    for (int i = 0; i < copyButtons.size(); ++i) {
        QToolButton *button = copyButtons[i];
        if (i >= starts.size()) {
            button->hide();
            continue;
        }
        QStringList lines;
        for (QTextBlock block = starts[i];
             block.isValid() && block.blockFormat().hasProperty(QTextFormat::BlockCodeFence);
             block = block.next())
            lines.append(block.text());
        button->setProperty("code", lines.join(QLatin1Char('\n')));
        button->adjustSize();
        const QRectF where = layout->blockBoundingRect(starts[i]);
        button->move(view->viewport()->width() - button->width() - 10,
                     int(where.top()) - scrolled + 2);
        button->setVisible(button->y() + button->height() > 0 &&
                           button->y() < view->viewport()->height());
    }
}

bool AnswerReader::eventFilter(QObject *watched, QEvent *event) {
    // (compared by the pointer kept: the view may be half destroyed when its viewport's last
    // events come)
    if (watched == viewport) {
        if (event->type() == QEvent::Wheel &&
            static_cast<QWheelEvent *>(event)->modifiers() & Qt::ControlModifier) {
            const int delta = static_cast<QWheelEvent *>(event)->angleDelta().y();
            if (delta != 0)
                emit zoomStep(delta > 0 ? 1 : -1);
            return true; // (the view's own zoom would not be remembered)
        }
        if (event->type() == QEvent::Resize)
            QMetaObject::invokeMethod(
                this,
                [this]() {
                    placeCopyButtons();
                    updateMarker();
                },
                Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

} // namespace Kelvane
