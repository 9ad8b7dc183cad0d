#pragma once
// The find bar: Ctrl+F opens it over the grid's bottom right corner, Ctrl+H
// with its replace row. It lies on the grid alone, so every control of the
// window keeps its place and stays uncovered. Enter and F3 find the next
// match, Shift+Enter and Shift+F3 the previous one; Esc closes it and gives
// the keys back to the grid, on the cell found.

#include <QFrame>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace velkin {

class SpreadGrid;
struct FindQuery;

class FindBar : public QFrame {
    Q_OBJECT
public:
    explicit FindBar(SpreadGrid& grid);

    // Shows the bar, with the replace row or without, and puts the keys in its text box.
    void open(bool replace);
    void dismiss();
    void findNext(bool backward);
    FindQuery query() const;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Tab goes round the bar's own boxes and buttons: the grid, its parent,
    // would take it as a move to the next cell.
    bool focusNextPrevChild(bool next) override;

private:
    void replace();
    void replaceAll();
    // The bar's own keys, wherever in it the focus is; false when the key is not one of them.
    bool handleKey(QObject* from, QKeyEvent* event);

    SpreadGrid& grid_;
    QLineEdit* text_;
    QCheckBox* matchCase_;
    QCheckBox* wholeCell_;
    QLabel* status_;
    QWidget* replaceRow_;
    QLineEdit* replacement_;
    std::vector<QWidget*> tabOrder_;
};

}  // namespace velkin
