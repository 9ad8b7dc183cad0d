#pragma once
// ProgBar1, the status line's progress bar, with QProgressBar's minimum,
// maximum and value rules. A read sets the value once per record, a hundred
// thousand times a second; QProgressBar spends about 2,000 instructions on
// every call deciding whether to repaint (it builds a style option and
// formats a text the bar never shows). This bar keeps the value in a member
// and repaints only when its filled width changes.

#include <QWidget>

#include <cstdlib>

namespace velkin {

class ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    int value() const { return value_; }
    void setMinimum(int minimum) { setRange(minimum, std::max(maximum_, minimum)); }
    void setMaximum(int maximum) { setRange(std::min(minimum_, maximum), maximum); }
    // A value outside the new range is dropped (the bar shows empty), as QProgressBar does.
    void setRange(int minimum, int maximum);

    // Values outside the range are ignored, unless the range is 0 to 0.
    void setValue(int value) {
        if (value == value_ || ((value > maximum_ || value < minimum_) && (maximum_ != 0 || minimum_ != 0))) return;
        value_ = value;
        emit valueChanged(value);
        // Drawn at once, as QProgressBar draws: a read runs without the event
        // loop. Like QProgressBar, only when the fill has grown by a chunk of
        // the style's or reached an end; each repaint costs about a million
        // instructions.
        const int fill = filledWidth();
        if (value != minimum_ && value != maximum_ && std::abs(fill - drawnWidth_) < chunkWidth_) return;
        const int drawn = drawnWidth_;
        drawnWidth_ = fill;
        repaintFill(drawn, fill, value != minimum_ && value != maximum_);
    }

signals:
    void valueChanged(int value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int filledWidth() const;
    // Repaints the bar from fill `from` to `to`: the stretch between them
    // when `partly`, the whole bar otherwise.
    void repaintFill(int from, int to, bool partly);

    int minimum_ = 0, maximum_ = 100, value_ = -1;
    int drawnWidth_ = -1;  // the filled width last drawn
    int chunkWidth_ = 1;
};

}  // namespace velkin
