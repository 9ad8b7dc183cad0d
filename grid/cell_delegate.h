#pragma once
// How the grid paints a cell and takes back what the user typed into it.
//
// A selection is drawn the way spreadsheet programs draw it: a translucent
// tint and an outline over each cell's own fill, never an opaque highlight,
// so the red mark of a refused row and the yellow key column stay visible
// inside a selected block. The current cell keeps a frame of its own.

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

private:
    SpreadGrid& grid_;
};

}  // namespace velkin
