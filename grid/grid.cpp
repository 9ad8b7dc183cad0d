#include "grid/grid.h"

#include "db/error.h"
#include "grid/cell_delegate.h"
#include "grid/cell_edits.h"
#include "grid/clipboard_text.h"
#include "grid/find_bar.h"
#include "grid/grid_prepare.h"
#include "grid/memory_room.h"
#include "grid/sheet_model.h"
#include "db/utf8_text.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <new>

namespace velkin {

namespace {

size_t Megabytes(size_t bytes) { return (bytes + (size_t{1} << 20) - 1) >> 20; }

// Bytes of `text` in UTF-8 as the sheet keeps it; a surrogate pair's two
// halves take two each.
size_t Utf8Bytes(QStringView text) {
    size_t bytes = 0;
    for (QChar c : text) bytes += c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 || c.isSurrogate() ? 2 : 3;
    return bytes;
}

}  // namespace

SpreadGrid::SpreadGrid(QWidget* parent) : SpreadGrid(*new SheetData, parent) { ownSheet_.reset(&sheet_); }

SpreadGrid::SpreadGrid(SheetData& sheet, QWidget* parent)
    : QTableView(parent), sheet_(sheet), model_(new SheetModel(sheet_, this)) {
    setModel(model_);
    setSelectionMode(QAbstractItemView::ContiguousSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::AnyKeyPressed);
    horizontalHeader()->setDefaultSectionSize(112);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    verticalHeader()->setDefaultSectionSize(20);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setWordWrap(false);
    setItemDelegate(new CellDelegate(*this));
}

SpreadGrid::~SpreadGrid() = default;

void SpreadGrid::setColumnCount(int32_t columns) {
    if (columns < 0) throw Error::SubscriptOutOfRange();
    sheet_.setColumnCount(columns);
    model_->showSize();
}

void SpreadGrid::setRowCount(int32_t rows) {
    if (rows < 0) throw Error::SubscriptOutOfRange();
    sheet_.setRowCount(rows);
    model_->showSize();
}

void SpreadGrid::showSheetChanges(const CellBlock& block) {
    model_->showSize();
    const int32_t lastRow = std::min(block.row2, sheet_.rowCount()), lastColumn = std::min(block.column2, sheet_.columnCount());
    if (lastRow >= 1 && lastColumn >= 1)
        emit model_->dataChanged(model_->index(std::max(block.row1, 1) - 1, std::max(block.column1, 1) - 1),
                                 model_->index(lastRow - 1, lastColumn - 1));
    // The headers (rows and column 0) and the row numbers catch up once.
    scheduleRefresh();
}

void SpreadGrid::showSheetEmptied() {
    clearUndoHistory();
    showSheetChanges(WholeSheet(sheet_));
}

void SpreadGrid::activateCell(int32_t row, int32_t column) {
    const QModelIndex index = model_->index(std::max(row, 1) - 1, std::max(column, 1) - 1);
    if (!index.isValid()) return;
    setCurrentIndex(index);
    scrollTo(index);
}

CellBlock SpreadGrid::addressedBlock() const {
    if (!blockMode_) return {column_, row_, column_, row_};
    return {std::min(column_, column2_), std::min(row_, row2_), std::max(column_, column2_), std::max(row_, row2_)};
}

void SpreadGrid::setCellText(QString text) {
    WriteCellText(sheet_, row_, column_, text);
    scheduleRefresh();
}

void SpreadGrid::setCellText(std::string_view utf8) {
    WriteCellText(sheet_, row_, column_, utf8);
    scheduleRefresh();
}

void SpreadGrid::setCellText(int64_t number) {
    WriteCellNumber(sheet_, row_, column_, number);
    scheduleRefresh();
}

void SpreadGrid::setBackColor(uint32_t color) {
    sheet_.paint(addressedBlock(), color);
    scheduleRefresh();
}

void SpreadGrid::doAction(GridAction action) {
    switch (action) {
    case GridAction::ActivateCell: activateCell(row_, column_); break;
    case GridAction::ClearText:
        sheet_.clearTexts(addressedBlock());
        scheduleRefresh();
        break;
    }
}

void SpreadGrid::clearBackColors() {
    sheet_.clearPaints();
    scheduleRefresh();
}

void SpreadGrid::setRedraw(bool on) {
    setUpdatesEnabled(on);
    if (on) refresh();
}

void SpreadGrid::scheduleRefresh() {
    // Commands write thousands of cells in one go; the screen catches up once.
    if (refreshPending_) return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, &SpreadGrid::refresh);
}

void SpreadGrid::refresh() {
    refreshPending_ = false;
    model_->contentsChanged();
    viewport()->update();
}

void SpreadGrid::commitPendingEdit() {
    if (state() != QAbstractItemView::EditingState) return;
    // Cell editors live on the viewport; there is at most one open at a time.
    for (QWidget* editor : viewport()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (editor->isHidden()) continue;
        commitData(editor);
        closeEditor(editor, QAbstractItemDelegate::NoHint);
        return;
    }
}

namespace {
struct SelectionRect {
    int top = -1, left = -1, bottom = -1, right = -1;
    bool valid() const { return top >= 0; }
};
}  // namespace

void SpreadGrid::copySelection() {
    guarded(QStringLiteral("コピー"), [this] { copy(); });
}

void SpreadGrid::copy() {
    // From the selection's ranges and one row at a time: a million selected
    // rows must not become ten million indexes and cell strings at once.
    SelectionRect r;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        if (!range.isValid()) continue;
        const SelectionRect box{range.top(), range.left(), range.bottom(), range.right()};
        r = r.valid() ? SelectionRect{std::min(r.top, box.top), std::min(r.left, box.left),
                                      std::max(r.bottom, box.bottom), std::max(r.right, box.right)}
                      : box;
    }
    if (!r.valid()) return;
    // The texts as UTF-16, then once more as the clipboard's UTF-8.
    const size_t bytes = sheet_.textBytes({r.left + 1, r.top + 1, r.right + 1, r.bottom + 1});
    if (!RoomFor(4 * bytes)) return refuseForMemory(QStringLiteral("コピー"), 4 * bytes);
    QString text;
    std::vector<std::vector<QString>> line(1);
    for (int row = r.top; row <= r.bottom; ++row) {
        line[0].clear();
        for (int column = r.left; column <= r.right; ++column) line[0].push_back(sheet_.text(row + 1, column + 1));
        text += CellsToClipboardText(line);  // every row ends with its own line break
    }
    QApplication::clipboard()->setText(text);
}

void SpreadGrid::pasteClipboard() {
    guarded(QStringLiteral("貼り付け"), [this] { paste(); });
}

void SpreadGrid::paste() {
    const QModelIndex start = currentIndex();
    if (!start.isValid()) return;
    const QString what = QStringLiteral("貼り付け");
    ClipboardCells block;
    {
        const QString text = QApplication::clipboard()->text();
        const size_t parseBytes = ClipboardCellsBytes(text);
        if (!RoomFor(parseBytes)) return refuseForMemory(what, parseBytes);
        block = ParseClipboardCells(text);
    }
    if (block.rowCount() == 0) return;
    const int32_t firstRow = start.row() + 1, firstColumn = start.column() + 1;
    // Sizes are compared before narrowing: a huge paste must be refused, not wrap around.
    const bool fits = block.rowCount() <= static_cast<size_t>(sheet_.rowCount() - firstRow + 1) &&
                      block.width() <= static_cast<size_t>(sheet_.columnCount() - firstColumn + 1);
    if (!fits) {
        emit pasteRefused(QStringLiteral("貼り付ける範囲がシートに収まりません（%1行×%2列、貼り付け先は%3行目%4列目から、シートは%5行×%6列）。何も貼り付けていません。")
                              .arg(block.rowCount()).arg(block.width()).arg(firstRow).arg(firstColumn)
                              .arg(sheet_.rowCount()).arg(sheet_.columnCount()));
        return;
    }
    const int32_t height = static_cast<int32_t>(block.rowCount());
    const int32_t width = static_cast<int32_t>(block.width());
    // The step keeps every cell's text before and after; the sheet then takes
    // the new texts, and the old ones stay in it until it is compacted.
    size_t afterBytes = 0;
    for (size_t r = 0; r < block.rowCount(); ++r)
        for (size_t c = 0; c < block.rowWidth(r); ++c) afterBytes += Utf8Bytes(block.cell(r, c));
    const size_t beforeBytes =
        sheet_.textBytes({firstColumn, firstRow, firstColumn + width - 1, firstRow + height - 1});
    const size_t stepBytes = block.cellCount() * CellEdits::kCellBytes + beforeBytes + afterBytes;
    const size_t need = stepBytes + afterBytes;
    // Steps this one pushes out of the history give their memory back first.
    if (!RoomFor(need - std::min(need, undo_.roomMadeFor(stepBytes)))) return refuseForMemory(what, need);
    undo_.makeRoomFor(stepBytes);
    std::unique_ptr<CellEdits> edits = newEdits(QStringLiteral("Paste"));
    edits->reserve(block.cellCount(), beforeBytes, afterBytes);
    for (size_t r = 0; r < block.rowCount(); ++r)
        for (size_t c = 0; c < block.rowWidth(r); ++c)
            edits->add(firstRow + static_cast<int32_t>(r), firstColumn + static_cast<int32_t>(c), block.cell(r, c));
    block = ClipboardCells();
    pushEdits(std::move(edits));
    selectionModel()->select(QItemSelection(model_->index(firstRow - 1, firstColumn - 1),
                                            model_->index(firstRow + height - 2, firstColumn + width - 2)),
                             QItemSelectionModel::ClearAndSelect);
}

void SpreadGrid::clearSelection() {
    guarded(QStringLiteral("削除"), [this] { clearSelected(); });
}

void SpreadGrid::clearSelected() {
    const int32_t lastRow = sheet_.lastDataRow();
    // Rows below the last one with text hold nothing to clear.
    auto eachCell = [&](const auto& visit) {
        for (const QItemSelectionRange& range : selectionModel()->selection())
            for (int32_t row = range.top() + 1; row <= std::min(range.bottom() + 1, lastRow); ++row)
                for (int32_t column = range.left() + 1; column <= range.right() + 1; ++column) visit(row, column);
    };
    size_t cells = 0, beforeBytes = 0;
    eachCell([&](int32_t row, int32_t column) {
        const size_t bytes = sheet_.textUtf8(row, column).size();
        cells += bytes > 0;
        beforeBytes += bytes;
    });
    const size_t stepBytes = cells * CellEdits::kCellBytes + beforeBytes;
    if (!RoomFor(stepBytes - std::min(stepBytes, undo_.roomMadeFor(stepBytes))))
        return refuseForMemory(QStringLiteral("削除"), stepBytes);
    undo_.makeRoomFor(stepBytes);
    std::unique_ptr<CellEdits> edits = newEdits(QStringLiteral("Delete"));
    edits->reserve(cells, beforeBytes, 0);
    eachCell([&](int32_t row, int32_t column) {
        if (!sheet_.textUtf8(row, column).empty()) edits->add(row, column, QStringView());
    });
    pushEdits(std::move(edits));
}

void SpreadGrid::editCell(int32_t row, int32_t column, const QString& text) {
    guarded(QStringLiteral("入力"), [&] {
        std::unique_ptr<CellEdits> edits = newEdits(QStringLiteral("Edit"));
        edits->add(row, column, text);
        pushEdits(std::move(edits));
    });
}

std::unique_ptr<CellEdits> SpreadGrid::newEdits(const QString& name) {
    return std::make_unique<CellEdits>(name, sheet_, [this](const CellBlock& block) { showChangedBlock(block); });
}

void SpreadGrid::pushEdits(std::unique_ptr<CellEdits> edits) {
    if (edits->isEmpty()) return;
    edits->shrink();
    undo_.push(std::move(edits));  // runs it once now
}

void SpreadGrid::guarded(const QString& what, const std::function<void()>& action) {
    try {
        action();
    } catch (const std::bad_alloc&) {
        emit pasteRefused(QStringLiteral("メモリが足りないため、%1を中止しました。シートは元のままです。").arg(what));
    } catch (const std::exception& error) {
        emit pasteRefused(QStringLiteral("%1を中止しました（%2）。").arg(what, QString::fromUtf8(error.what())));
    }
}

void SpreadGrid::refuseForMemory(const QString& what, size_t bytes) {
    emit pasteRefused(QStringLiteral("%1に必要なメモリ（約%2 MB）が足りません（使えるのは約%3 MB）。シートは元のままです。")
                          .arg(what).arg(Megabytes(bytes)).arg(MemoryRoom() >> 20));
}

void SpreadGrid::showChangedBlock(const CellBlock& block) {
    const QModelIndex topLeft = model_->index(block.row1 - 1, block.column1 - 1);
    const QModelIndex bottomRight = model_->index(block.row2 - 1, block.column2 - 1);
    emit model_->dataChanged(topLeft, bottomRight);
    // The row header numbers follow the last data row; let them catch up.
    scheduleRefresh();
    // An undo or redo shows the user what it changed, as spreadsheet programs do.
    if (!stepping_) return;
    setCurrentIndex(topLeft);
    selectionModel()->select(QItemSelection(topLeft, bottomRight), QItemSelectionModel::ClearAndSelect);
    scrollTo(topLeft);
}

void SpreadGrid::undo() {
    guarded(QStringLiteral("元に戻す操作"), [this] { step(false); });
}

void SpreadGrid::redo() {
    guarded(QStringLiteral("やり直し"), [this] { step(true); });
}

void SpreadGrid::step(bool forward) {
    const UndoStep* next = forward ? undo_.nextRedo() : undo_.nextUndo();
    if (!next) return;
    // The texts it writes, and the rows they land in packed anew.
    const size_t need = 2 * (forward ? next->redoBytes() : next->undoBytes());
    if (!RoomFor(need)) return refuseForMemory(forward ? QStringLiteral("やり直し") : QStringLiteral("元に戻す操作"), need);
    stepping_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{stepping_};
    forward ? undo_.redo() : undo_.undo();
}

void SpreadGrid::revealRow(int32_t row) {
    const QModelIndex index = model_->index(row - 1, 0);
    if (index.isValid()) scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void SpreadGrid::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QTableView::selectionChanged(selected, deselected);
    // A block's outline moves with its edges, which may lie in cells that stayed selected.
    viewport()->update();
}

void SpreadGrid::keyPressEvent(QKeyEvent* event) {
    guarded(QStringLiteral("キー操作"), [&] { handleKey(event); });
}

namespace {

// Ctrl++ as typed on any keyboard: Ctrl+Shift+= on a US layout gives plus,
// some layouts give = with Shift, the keypad its own plus.
bool InsertRowsChord(const QKeyEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) return false;
    return event->key() == Qt::Key_Plus || (event->key() == Qt::Key_Equal && (event->modifiers() & Qt::ShiftModifier));
}

bool DeleteRowsChord(const QKeyEvent* event) {
    return (event->modifiers() & Qt::ControlModifier) && event->key() == Qt::Key_Minus;
}

bool Chord(const QKeyEvent* event, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
    return event->key() == key && (event->modifiers() & ~Qt::KeypadModifier) == modifiers;
}

}  // namespace

bool SpreadGrid::event(QEvent* event) {
    // Esc belongs to the find bar before the window's own keys take it.
    if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
        findBar_ && findBar_->isVisible()) {
        event->accept();
        return true;
    }
    return QTableView::event(event);
}

void SpreadGrid::handleKey(QKeyEvent* event) {
    if (state() != QAbstractItemView::EditingState) {
        if (event->matches(QKeySequence::Copy)) return copySelection();
        if (event->matches(QKeySequence::Paste)) return pasteClipboard();
        if (event->matches(QKeySequence::Cut)) return cutSelection();
        if (event->key() == Qt::Key_Delete) return clearSelection();
        if (event->matches(QKeySequence::Undo)) return undo();
        // Ctrl+Y as on Windows and Ctrl+Shift+Z as elsewhere, whatever the desktop's own binding.
        const auto chord = event->keyCombination();
        if (event->matches(QKeySequence::Redo) || chord == QKeyCombination(Qt::ControlModifier, Qt::Key_Y) ||
            chord == QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Z))
            return redo();
        if (InsertRowsChord(event)) return insertRows();
        if (DeleteRowsChord(event)) return deleteRows();
        if (Chord(event, Qt::Key_D)) return fillDown();
        if (Chord(event, Qt::Key_F)) return showFindBar(false);
        if (Chord(event, Qt::Key_H)) return showFindBar(true);
        if (event->key() == Qt::Key_F3 && findBar_) return findBar_->findNext(event->modifiers() & Qt::ShiftModifier);
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
            !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)))
            return moveAfterEnter(event->modifiers() & Qt::ShiftModifier);
        // Shift+Space selects the row; it must not start an edit that
        // replaces the key cell's text with a blank.
        if (Chord(event, Qt::Key_Space, Qt::ShiftModifier)) {
            const QModelIndex current = currentIndex();
            if (current.isValid())
                selectionModel()->select(QItemSelection(model_->index(current.row(), 0),
                                                        model_->index(current.row(), model_->columnCount() - 1)),
                                         QItemSelectionModel::ClearAndSelect);
            return;
        }
        if (event->key() == Qt::Key_Escape) {
            if (findBar_ && findBar_->isVisible()) return findBar_->dismiss();
            // Nothing of the grid's to cancel: the window's own Esc, if it has one.
            return event->ignore();
        }
    }
    // Tab moves within the grid; with Ctrl it leaves it, as in a dialog.
    if ((event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) && (event->modifiers() & Qt::ControlModifier))
        return leaveGrid(event->key() == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier));
    QTableView::keyPressEvent(event);
}

void SpreadGrid::moveAfterEnter(bool up) { moveBy(up ? -1 : 1, 0); }

void SpreadGrid::moveBy(int rows, int columns) {
    const QModelIndex current = currentIndex();
    if (!current.isValid()) return;
    const int row = std::clamp(current.row() + rows, 0, model_->rowCount() - 1);
    const int column = std::clamp(current.column() + columns, 0, model_->columnCount() - 1);
    goToCell(row + 1, column + 1);
}

bool SpreadGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    // Decided before the editor opens: the key that opens it reaches it inside this call.
    if (state() != QAbstractItemView::EditingState) typingEntry_ = trigger == QAbstractItemView::AnyKeyPressed;
    return QTableView::edit(index, trigger, event);
}

void SpreadGrid::leaveGrid(bool backward) { QWidget::focusNextPrevChild(!backward); }

std::pair<int32_t, int32_t> SpreadGrid::dataEdge(int32_t row, int32_t column, int32_t dRow, int32_t dColumn) const {
    const int32_t lastRow = sheet_.lastDataRow();
    auto inside = [&](int32_t r, int32_t c) {
        return r >= 1 && c >= 1 && r <= sheet_.rowCount() && c <= sheet_.columnCount();
    };
    auto filled = [&](int32_t r, int32_t c) { return r <= lastRow && !sheet_.textUtf8(r, c).empty(); };
    int32_t r = row, c = column;
    if (!inside(r + dRow, c + dColumn)) return {r, c};
    // Within a run of filled cells: its last cell.
    if (filled(r, c) && filled(r + dRow, c + dColumn)) {
        while (inside(r + dRow, c + dColumn) && filled(r + dRow, c + dColumn)) r += dRow, c += dColumn;
        return {r, c};
    }
    // Else the next filled cell, or the edge of the sheet.
    r += dRow, c += dColumn;
    while (!filled(r, c) && inside(r + dRow, c + dColumn)) {
        if (dRow > 0 && r >= lastRow) return {sheet_.rowCount(), c};  // nothing filled further down
        r += dRow, c += dColumn;
    }
    return {r, c};
}

QModelIndex SpreadGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const QModelIndex current = currentIndex();
    if (!(modifiers & Qt::ControlModifier) || !current.isValid()) return QTableView::moveCursor(action, modifiers);
    const int32_t row = current.row() + 1, column = current.column() + 1;
    std::pair<int32_t, int32_t> to{row, column};
    switch (action) {
    case MoveUp: to = dataEdge(row, column, -1, 0); break;
    case MoveDown: to = dataEdge(row, column, 1, 0); break;
    case MoveLeft: to = dataEdge(row, column, 0, -1); break;
    case MoveRight: to = dataEdge(row, column, 0, 1); break;
    // The last cell holding data, not the sheet's last empty row.
    case MoveEnd:
        to = {std::max(sheet_.lastDataRow(), 1), std::clamp(sheet_.lastDataColumn(), 1, std::max(columnCount(), 1))};
        break;
    default: return QTableView::moveCursor(action, modifiers);
    }
    return model_->index(to.first - 1, to.second - 1);
}

CellBlock SpreadGrid::selectedBlock() const {
    CellBlock block{0, 0, 0, 0};
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        if (!range.isValid()) continue;
        const CellBlock box{range.left() + 1, range.top() + 1, range.right() + 1, range.bottom() + 1};
        block = block.row1 == 0 ? box
                                : CellBlock{std::min(block.column1, box.column1), std::min(block.row1, box.row1),
                                            std::max(block.column2, box.column2), std::max(block.row2, box.row2)};
    }
    if (block.row1 == 0 && currentIndex().isValid())
        block = {currentIndex().column() + 1, currentIndex().row() + 1, currentIndex().column() + 1,
                 currentIndex().row() + 1};
    return block;
}

void SpreadGrid::insertRows() {
    guarded(QStringLiteral("行の挿入"), [this] { shiftRows(true); });
}

void SpreadGrid::deleteRows() {
    guarded(QStringLiteral("行の削除"), [this] { shiftRows(false); });
}

void SpreadGrid::shiftRows(bool insert) {
    const CellBlock selected = selectedBlock();
    if (selected.row1 == 0) return;
    const int32_t first = selected.row1, count = selected.row2 - selected.row1 + 1;
    if (first < kFirstDataRow) {
        emit pasteRefused(insert ? QStringLiteral("見出しの行（1・2行目）には行を挿入できません。データ行を選んでください。")
                                 : QStringLiteral("見出しの行（1・2行目）は削除できません。データ行を選んでください。"));
        return;
    }
    if (insert && sheet_.rowsHoldData(sheet_.rowCount() - count + 1, count)) {
        emit pasteRefused(QStringLiteral("シートの最後の%1行にデータがあるため、%1行を挿入できません（シートは%2行）。何も変えていません。")
                              .arg(count).arg(sheet_.rowCount()));
        return;
    }
    // The step keeps the deleted rows' texts; the row lists may be copied as they move.
    const size_t texts = insert ? 0 : sheet_.textBytes({0, first, sheet_.columnCount(), first + count - 1});
    const size_t stepBytes = texts + static_cast<size_t>(count) * 32 + static_cast<size_t>(sheet_.rowCount()) * 12;
    const QString what = insert ? QStringLiteral("行の挿入") : QStringLiteral("行の削除");
    if (!RoomFor(stepBytes - std::min(stepBytes, undo_.roomMadeFor(stepBytes)))) return refuseForMemory(what, stepBytes);
    undo_.makeRoomFor(stepBytes);
    SheetRows rows = insert ? SheetData::InsertedRows(count) : sheet_.emptyRowsLike(sheet_.rowCount(), count);
    undo_.push(std::make_unique<RowShift>(insert ? RowShift::Kind::Insert : RowShift::Kind::Delete, sheet_, first,
                                          std::move(rows), [this](const CellBlock& block) { showShiftedRows(block); }));
}

void SpreadGrid::showShiftedRows(const CellBlock& rows) {
    // Every row from the first moved one down shows another row now.
    emit model_->dataChanged(model_->index(rows.row1 - 1, 0),
                             model_->index(sheet_.rowCount() - 1, std::max(sheet_.columnCount(), 1) - 1));
    scheduleRefresh();
    if (!stepping_) return;
    const QModelIndex topLeft = model_->index(rows.row1 - 1, 0);
    setCurrentIndex(model_->index(rows.row1 - 1, std::max(currentIndex().column(), 0)));
    selectionModel()->select(QItemSelection(topLeft, model_->index(rows.row2 - 1, model_->columnCount() - 1)),
                             QItemSelectionModel::ClearAndSelect);
    scrollTo(topLeft);
}

void SpreadGrid::fillDown() {
    guarded(QStringLiteral("下方向へコピー"), [this] { fill(); });
}

void SpreadGrid::fill() {
    CellBlock block = selectedBlock();
    if (block.row1 == 0) return;
    // One row takes the row above it, as spreadsheets do; never a header row.
    const int32_t source = block.row1 == block.row2 ? block.row1 - 1 : block.row1;
    if (block.row1 == block.row2 && source < kFirstDataRow) return;
    const int32_t firstTarget = source + 1;
    const size_t rows = static_cast<size_t>(block.row2 - firstTarget + 1);
    std::vector<QString> top;
    size_t afterBytes = 0;
    for (int32_t c = block.column1; c <= block.column2; ++c) {
        afterBytes += sheet_.textUtf8(source, c).size() * rows;
        top.push_back(sheet_.text(source, c));
    }
    const size_t cells = rows * top.size();
    const size_t beforeBytes = sheet_.textBytes({block.column1, firstTarget, block.column2, block.row2});
    const size_t stepBytes = cells * CellEdits::kCellBytes + beforeBytes + afterBytes;
    const size_t need = stepBytes + afterBytes;
    if (!RoomFor(need - std::min(need, undo_.roomMadeFor(stepBytes))))
        return refuseForMemory(QStringLiteral("下方向へコピー"), need);
    undo_.makeRoomFor(stepBytes);
    std::unique_ptr<CellEdits> edits = newEdits(QStringLiteral("Fill down"));
    edits->reserve(cells, beforeBytes, afterBytes);
    for (int32_t r = firstTarget; r <= block.row2; ++r)
        for (int32_t c = block.column1; c <= block.column2; ++c)
            edits->add(r, c, top[static_cast<size_t>(c - block.column1)]);
    pushEdits(std::move(edits));
}

void SpreadGrid::cutSelection() {
    copySelection();
    clearSelection();
}

// ---------------------------------------------------------------------------
// Find and replace.

namespace {

class Matcher {
public:
    explicit Matcher(const FindQuery& query)
        : query_(query), sensitivity_(query.matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive) {
        AppendUtf8(query.text, needle_);
    }
    bool operator()(std::string_view cell) const {
        if (cell.empty()) return false;
        // Case kept: the UTF-8 bytes compare as the characters do, with no
        // string made for every cell of a large sheet.
        if (query_.matchCase) return query_.wholeCell ? cell == needle_ : cell.find(needle_) != std::string_view::npos;
        const QString text = FromUtf8(cell);
        return query_.wholeCell ? text.compare(query_.text, sensitivity_) == 0 : text.contains(query_.text, sensitivity_);
    }
    QString replaced(const QString& text, const QString& replacement) const {
        if (query_.wholeCell) return replacement;
        return QString(text).replace(query_.text, replacement, sensitivity_);
    }

private:
    const FindQuery& query_;
    Qt::CaseSensitivity sensitivity_;
    std::string needle_;
};

}  // namespace

void SpreadGrid::showFindBar(bool replace) {
    if (!findBar_) findBar_ = new FindBar(*this);
    findBar_->open(replace);
    placeFindBar();
}

void SpreadGrid::placeFindBar() {
    if (!findBar_) return;
    // The bottom right corner of the cells, where it hides the least of what a search looks at.
    const QRect cells = viewport()->geometry();
    findBar_->adjustSize();
    findBar_->move(std::max(cells.left(), cells.right() - findBar_->width() - 4),
                   std::max(cells.top(), cells.bottom() - findBar_->height() - 4));
}

void SpreadGrid::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    placeFindBar();
}

void SpreadGrid::goToCell(int32_t row, int32_t column) {
    const QModelIndex index = model_->index(row - 1, column - 1);
    if (!index.isValid()) return;
    setCurrentIndex(index);
    selectionModel()->select(index, QItemSelectionModel::ClearAndSelect);
    scrollTo(index);
    if (!findBar_ || !findBar_->isVisible()) return;
    const QRect cell = visualRect(index).translated(viewport()->pos());
    if (cell.intersects(findBar_->geometry())) scrollTo(index, QAbstractItemView::PositionAtCenter);
}

bool SpreadGrid::findNext(const FindQuery& query, bool backward) {
    if (query.text.isEmpty()) return false;
    const int32_t first = kFirstDataRow, last = sheet_.lastDataRow(), columns = sheet_.columnCount();
    if (last < first || columns < 1) return false;
    const int64_t total = int64_t{last - first + 1} * columns;
    // Positions count the data cells row by row; the search starts next to
    // the current cell and reaches it last.
    const QModelIndex current = currentIndex();
    const int32_t row = current.isValid() ? current.row() + 1 : 0;
    int64_t start = backward ? 0 : -1;
    if (row > last) start = backward ? total : total - 1;
    else if (row >= first) start = int64_t{row - first} * columns + current.column();
    const Matcher matches(query);
    const int64_t step = backward ? -1 : 1;
    for (int64_t k = 1; k <= total; ++k) {
        const int64_t at = ((start + step * k) % total + total) % total;
        const int32_t r = first + static_cast<int32_t>(at / columns), c = 1 + static_cast<int32_t>(at % columns);
        if (!matches(sheet_.textUtf8(r, c))) continue;
        goToCell(r, c);
        return true;
    }
    return false;
}

void SpreadGrid::replaceCurrent(const FindQuery& query, const QString& replacement) {
    guarded(QStringLiteral("置換"), [&] {
        const QModelIndex current = currentIndex();
        const Matcher matches(query);
        if (!query.text.isEmpty() && current.isValid() && current.row() + 1 >= kFirstDataRow &&
            matches(sheet_.textUtf8(current.row() + 1, current.column() + 1)))
            editCell(current.row() + 1, current.column() + 1,
                     matches.replaced(sheet_.text(current.row() + 1, current.column() + 1), replacement));
        findNext(query, false);
    });
}

int64_t SpreadGrid::replaceAll(const FindQuery& query, const QString& replacement) {
    int64_t replaced = 0;
    if (query.text.isEmpty()) return 0;
    guarded(QStringLiteral("すべて置換"), [&] {
        CellBlock block = selectedBlock();
        if (block.row1 == 0 || (block.row1 == block.row2 && block.column1 == block.column2))
            block = {1, kFirstDataRow, sheet_.columnCount(), sheet_.rowCount()};
        block.row1 = std::max(block.row1, kFirstDataRow);
        block.row2 = std::min(block.row2, sheet_.lastDataRow());
        const Matcher matches(query);
        std::unique_ptr<CellEdits> edits = newEdits(QStringLiteral("Replace all"));
        for (int32_t r = block.row1; r <= block.row2; ++r)
            for (int32_t c = block.column1; c <= block.column2; ++c)
                if (matches(sheet_.textUtf8(r, c))) {
                    edits->add(r, c, matches.replaced(sheet_.text(r, c), replacement));
                    ++replaced;
                }
        pushEdits(std::move(edits));
    });
    return replaced;
}

// ---------------------------------------------------------------------------

void SpreadGrid::contextMenuEvent(QContextMenuEvent* event) {
    commitPendingEdit();
    // A click outside the selection moves the current cell there first, as spreadsheets do.
    const QModelIndex at = event->reason() == QContextMenuEvent::Mouse ? indexAt(event->pos()) : QModelIndex();
    if (at.isValid() && !selectionModel()->isSelected(at)) setCurrentIndex(at);
    QMenu menu(this);
    auto item = [&](const QString& text, const QKeySequence& keys, void (SpreadGrid::*action)()) {
        QAction* entry = menu.addAction(text, this, action);
        entry->setShortcut(keys);
        entry->setShortcutVisibleInContextMenu(true);
    };
    item(QStringLiteral("切り取り"), QKeySequence::Cut, &SpreadGrid::cutSelection);
    item(QStringLiteral("コピー"), QKeySequence::Copy, &SpreadGrid::copySelection);
    item(QStringLiteral("貼り付け"), QKeySequence::Paste, &SpreadGrid::pasteClipboard);
    item(QStringLiteral("削除"), QKeySequence(Qt::Key_Delete), &SpreadGrid::clearSelection);
    menu.addSeparator();
    item(QStringLiteral("行の挿入"), QKeySequence(Qt::ControlModifier | Qt::Key_Plus), &SpreadGrid::insertRows);
    item(QStringLiteral("行の削除"), QKeySequence(Qt::ControlModifier | Qt::Key_Minus), &SpreadGrid::deleteRows);
    menu.addSeparator();
    menu.addAction(QStringLiteral("検索"), this, [this] { showFindBar(false); })->setShortcut(QKeySequence::Find);
    item(QStringLiteral("下方向へコピー"), QKeySequence(Qt::ControlModifier | Qt::Key_D), &SpreadGrid::fillDown);
    for (QAction* entry : menu.actions()) entry->setShortcutVisibleInContextMenu(true);
    menu.exec(event->globalPos());
}

}  // namespace velkin
