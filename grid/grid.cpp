#include "grid/grid.h"

#include "db/error.h"
#include "grid/cell_delegate.h"
#include "grid/cell_edits.h"
#include "grid/clipboard_text.h"
#include "grid/memory_room.h"
#include "grid/sheet_model.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <new>

namespace velkin {

namespace {

// The run time's number for "Out of memory".
constexpr int32_t kOutOfMemory = 7;
// Values from this size on are checked for room before the sheet takes them;
// smaller ones are not worth reading the system's figures for.
constexpr size_t kCheckedValueBytes = size_t{1} << 20;

size_t Megabytes(size_t bytes) { return (bytes + (size_t{1} << 20) - 1) >> 20; }

Error OutOfMemory(size_t valueBytes) {
    return Error(kOutOfMemory, QStringLiteral("メモリが足りません（%1 MB の値をシートに置けません）。").arg(Megabytes(valueBytes)));
}

// Bytes of `text` in UTF-8 as the sheet keeps it; a surrogate pair's two
// halves take two each.
size_t Utf8Bytes(QStringView text) {
    size_t bytes = 0;
    for (QChar c : text) bytes += c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 || c.isSurrogate() ? 2 : 3;
    return bytes;
}

}  // namespace

SpreadGrid::SpreadGrid(QWidget* parent) : QTableView(parent), model_(new SheetModel(sheet_, this)) {
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
    const int32_t old = sheet_.columnCount();
    if (columns == old) return;
    model_->beginColumnCountChange(old, columns);
    sheet_.setColumnCount(columns);
    model_->endColumnCountChange(old, columns);
}

void SpreadGrid::setRowCount(int32_t rows) {
    if (rows < 0) throw Error::SubscriptOutOfRange();
    if (rows == sheet_.rowCount()) return;
    model_->beginSizeChange();
    sheet_.setRowCount(rows);
    model_->endSizeChange();
}

CellBlock SpreadGrid::addressedBlock() const {
    if (!blockMode_) return {column_, row_, column_, row_};
    return {std::min(column_, column2_), std::min(row_, row2_), std::max(column_, column2_), std::max(row_, row2_)};
}

void SpreadGrid::setCellText(QString text) {
    if (row_ < 0 || column_ < 0 || row_ > sheet_.rowCount() || column_ > sheet_.columnCount())
        throw Error::SubscriptOutOfRange();
    sheet_.setText(row_, column_, text);
    scheduleRefresh();
}

void SpreadGrid::setCellText(std::string_view utf8) {
    if (row_ < 0 || column_ < 0 || row_ > sheet_.rowCount() || column_ > sheet_.columnCount())
        throw Error::SubscriptOutOfRange();
    // The sheet copies the value while it packs the row it lands in.
    if (utf8.size() >= kCheckedValueBytes && !RoomFor(2 * utf8.size())) throw OutOfMemory(utf8.size());
    try {
        sheet_.setTextUtf8(row_, column_, utf8);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(utf8.size());
    }
    scheduleRefresh();
}

void SpreadGrid::setCellText(int64_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    setCellText(std::string_view(digits, static_cast<size_t>(end - digits)));
}

void SpreadGrid::setBackColor(uint32_t color) {
    sheet_.paint(addressedBlock(), color);
    scheduleRefresh();
}

void SpreadGrid::doAction(GridAction action) {
    switch (action) {
    case GridAction::ActivateCell: {
        const QModelIndex index = model_->index(std::max(row_, 1) - 1, std::max(column_, 1) - 1);
        if (index.isValid()) {
            setCurrentIndex(index);
            scrollTo(index);
        }
        break;
    }
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

void SpreadGrid::handleKey(QKeyEvent* event) {
    if (state() != QAbstractItemView::EditingState) {
        if (event->matches(QKeySequence::Copy)) return copySelection();
        if (event->matches(QKeySequence::Paste)) return pasteClipboard();
        if (event->key() == Qt::Key_Delete) return clearSelection();
        if (event->matches(QKeySequence::Undo)) return undo();
        // Ctrl+Y as on Windows and Ctrl+Shift+Z as elsewhere, whatever the desktop's own binding.
        const auto chord = event->keyCombination();
        if (event->matches(QKeySequence::Redo) || chord == QKeyCombination(Qt::ControlModifier, Qt::Key_Y) ||
            chord == QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Z))
            return redo();
    }
    QTableView::keyPressEvent(event);
}

}  // namespace velkin
