#include "shell/progress_bar.h"

#include <QStyleOptionProgressBar>
#include <QEvent>
#include <QStylePainter>

#include <algorithm>

namespace velkin {

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // The bar paints every pixel of itself (its background first), so a
    // repaint need not repaint the window beneath it as well.
    setAttribute(Qt::WA_OpaquePaintEvent);
    chunkWidth_ = std::max(1, style()->pixelMetric(QStyle::PM_ProgressBarChunkWidth, nullptr, this));
}

void ProgressBar::changeEvent(QEvent* event) {
    if (event->type() == QEvent::StyleChange)
        chunkWidth_ = std::max(1, style()->pixelMetric(QStyle::PM_ProgressBarChunkWidth, nullptr, this));
    QWidget::changeEvent(event);
}

void ProgressBar::setRange(int minimum, int maximum) {
    if (minimum == minimum_ && maximum == maximum_) return;
    minimum_ = minimum;
    maximum_ = std::max(minimum, maximum);
    if (int64_t{value_} < int64_t{minimum_} - 1 || value_ > maximum_) value_ = minimum_ - 1;
    drawnWidth_ = -1;
    update();
}

int ProgressBar::filledWidth() const {
    if (value_ < minimum_) return 0;
    const int64_t span = int64_t{maximum_} - minimum_;
    if (span <= 0) return width();
    return static_cast<int>((int64_t{value_} - minimum_) * width() / span);
}

void ProgressBar::repaintFill(int from, int to, bool partly) {
    // Only the fill's end moves: the bar's look left of the old end and
    // right of the new one stays as it was. Painting that stretch alone keeps
    // each fill small enough for Qt's raster engine to draw it on this thread
    // rather than hand it to its thread pool, a read's every repaint.
    if (!partly || from < 0) {
        repaint();
        return;
    }
    const int margin = chunkWidth_ + 4;  // the end's rounded edge and the style's frame
    const int left = std::min(from, to) - margin;
    repaint(QRect(left, 0, std::abs(to - from) + 2 * margin, height()));
}

void ProgressBar::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.fillRect(rect(), palette().window());
    QStyleOptionProgressBar option;
    option.initFrom(this);
    option.minimum = minimum_;
    option.maximum = maximum_;
    option.progress = value_;
    option.textVisible = false;
    option.state |= QStyle::State_Horizontal;
    painter.drawControl(QStyle::CE_ProgressBar, option);
}

void ProgressBar::resizeEvent(QResizeEvent* event) {
    drawnWidth_ = -1;
    QWidget::resizeEvent(event);
}

}  // namespace velkin
