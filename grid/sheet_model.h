#pragma once
// The view's window on the sheet: view row i, column j is sheet row i + 1,
// column j + 1; the sheet's row 0 and column 0 feed the view's headers.

#include "grid/sheet_data.h"

#include <QAbstractTableModel>

namespace velkin {

class SheetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit SheetModel(SheetData& sheet, QObject* parent = nullptr) : QAbstractTableModel(parent), sheet_(sheet) {}

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The sheet was changed behind the model's back (commands write it directly).
    void beginSizeChange() { beginResetModel(); }
    void endSizeChange() { endResetModel(); }
    // A change of the column count alone: the row header, up to a million
    // sections, is left as it is instead of being rebuilt by a reset.
    void beginColumnCountChange(int from, int to);
    void endColumnCountChange(int from, int to);
    void contentsChanged();

private:
    SheetData& sheet_;
};

// "A", "B", ..., "Z", "AA", ...: the column letters spreadsheet users know.
QString ColumnLetters(int column);

}  // namespace velkin
