#include "app/LogMemo.h"

#include "app/QtText.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

namespace {

const int Margin = 2;

// Lays out one line at the given width; calls draw (if any) for each row.
template <typename Draw> int LayOutLine(const QString& text, const QFont& font, int width, Draw draw) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    while (true) {
        QTextLine row = layout.createLine();
        if (!row.isValid()) break;
        row.setLineWidth(width);
        row.setPosition(QPointF(0, y));
        y += row.height();
    }
    layout.endLayout();
    draw(layout);
    return std::max(1, static_cast<int>(std::ceil(y)));
}

} // namespace

TLogMemo::TLogMemo(QWidget* parent) : QAbstractScrollArea(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    // Scrolling by hand decides whether new lines pull the view along.
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this] {
        QScrollBar* bar = verticalScrollBar();
        FFollowEnd = bar->sliderPosition() >= bar->maximum();
    });
}

void TLogMemo::AddOneLine(const char* data, size_t size) {
    FStarts.push_back(static_cast<uint32_t>(FText.size()));
    FText.append(data, size);
}

void TLogMemo::AppendLine(const std::string& gbk) {
    size_t begin = 0;
    for (size_t i = 0; i < gbk.size(); ++i) {
        if (gbk[i] != '\r' && gbk[i] != '\n') continue;
        AddOneLine(gbk.data() + begin, i - begin);
        if (gbk[i] == '\r' && i + 1 < gbk.size() && gbk[i + 1] == '\n') ++i;
        begin = i + 1;
    }
    AddOneLine(gbk.data() + begin, gbk.size() - begin);
    FFollowEnd = true;
    UpdateRange();
    viewport()->update();
}

void TLogMemo::Clear() {
    FText.clear();
    FText.shrink_to_fit();
    FStarts.clear();
    FStarts.shrink_to_fit();
    FFollowEnd = true;
    UpdateRange();
    viewport()->update();
}

std::string TLogMemo::Line(int i) const {
    const size_t begin = FStarts.at(static_cast<size_t>(i));
    const size_t end =
        static_cast<size_t>(i) + 1 < FStarts.size() ? FStarts[static_cast<size_t>(i) + 1] : FText.size();
    return FText.substr(begin, end - begin);
}

QString TLogMemo::Text() const {
    QStringList lines;
    for (int i = 0; i < LineCount(); ++i)
        lines << ToQt(Line(i));
    return lines.join('\n');
}

int TLogMemo::TopLine() const {
    return verticalScrollBar()->value();
}

int TLogMemo::TextWidth() const {
    return std::max(1, viewport()->width() - 2 * Margin);
}

int TLogMemo::WrappedHeight(int line) const {
    return LayOutLine(ToQt(Line(line)), font(), TextWidth(), [](QTextLayout&) {});
}

// The scroll bar counts lines: its maximum is the top line that brings the
// last line to the bottom of the view.
void TLogMemo::UpdateRange() {
    const int room = viewport()->height() - 2 * Margin;
    int top = LineCount();
    for (int used = 0; top > 0;) {
        used += WrappedHeight(top - 1);
        if (used > room) break;
        --top;
    }
    const int maximum = std::min(top, std::max(0, LineCount() - 1));
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, maximum);
    bar->setPageStep(std::max(1, LineCount() - maximum));
    if (FFollowEnd) bar->setValue(maximum);
}

void TLogMemo::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const int width = TextWidth(), bottom = viewport()->height();
    int y = Margin;
    for (int i = TopLine(); i < LineCount() && y < bottom; ++i) {
        y += LayOutLine(ToQt(Line(i)), font(), width,
                        [&](QTextLayout& layout) { layout.draw(&painter, QPointF(Margin, y)); });
    }
}

void TLogMemo::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateRange();
}

void TLogMemo::scrollContentsBy(int, int) {
    viewport()->update();
}

void TLogMemo::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QString::fromUtf8("复制全部"), [this] { QApplication::clipboard()->setText(Text()); });
    menu.exec(event->globalPos());
}

void TLogMemo::ScrollToTop() {
    FFollowEnd = false;
    verticalScrollBar()->setValue(0);
}
