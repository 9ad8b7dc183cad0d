#pragma once
// How the grid paints a cell and takes back what the user typed into it.
//
// A selection is drawn the way spreadsheet programs draw it: a translucent
// tint and an outline over each cell's own fill, never an opaque highlight,
// so the red mark of a refused row and the yellow key column stay visible
// inside a selected block. The current cell keeps a frame of its own.
//
// A cell not yet written back (its text differs from what the read put
// there, or its row was inserted) carries a small green triangle in its top
// right corner: a mark drawn over the fill, which never changes the cell's
// back colour.
//
// In the cell editor, Enter commits and moves down (Shift+Enter up), and
// Ctrl+Tab commits and leaves the grid, as in spreadsheet programs. In an
// entry that typing started, an arrow key commits and moves one cell its
// way; F2 turns the entry into an edit, in which the arrows stay in the text.

#include <QStyledItemDelegate>

namespace velkin {

class SpreadGrid;

class CellDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit CellDelegate(SpreadGrid& grid);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // A typed edit goes to the grid as one undoable step.
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

    static constexpr QRgb kChangedMark = 0xFF00A046;
    static constexpr int kChangedMarkSize = 8;

protected:
    bool eventFilter(QObject* object, QEvent* event) override;

private:
    SpreadGrid& grid_;
};

}  // namespace velkin
