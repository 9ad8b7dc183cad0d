#include "grid/clipboard_text.h"

#include <algorithm>

namespace velkin {

namespace {

bool EndsCell(QChar c) { return c == u'\t' || c == u'\r' || c == u'\n'; }

bool NeedsQuotes(const QString& cell) {
    return std::any_of(cell.begin(), cell.end(),
                       [](QChar c) { return EndsCell(c) || c == u'"'; });
}

bool EndsCellOrText(QStringView text, qsizetype i) { return i == text.size() || EndsCell(text[i]); }

}  // namespace

class ClipboardParser {
public:
    ClipboardParser(QStringView text, ClipboardCells& out) : text_(text), n_(text.size()), out_(out) {}

    void Run() {
        if (n_ == 0) return;
        // Unquoting only shortens texts, and every cell but the last ends at
        // a TAB or a line break: both sizes are known before the first cell.
        out_.texts_.reserve(n_);
        out_.ends_.reserve(Separators(text_) + 1);
        for (;;) {
            Cell();
            if (pos_ == n_) break;
            if (text_[pos_] == u'\t') {
                ++pos_;
                continue;
            }
            pos_ += (text_[pos_] == u'\r' && pos_ + 1 < n_ && text_[pos_ + 1] == u'\n') ? 2 : 1;
            EndRow();
            if (pos_ == n_) return;  // the final line break opens no row
        }
        EndRow();
    }

    static std::size_t Separators(QStringView text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), EndsCell));
    }

private:
    // Reads the cell at pos_ and leaves pos_ on the TAB or line break after
    // it, or at the end of the text.
    void Cell() {
        if (pos_ < n_ && text_[pos_] == u'"') {
            const qsizetype close = ClosingQuote(pos_);
            if (close >= 0) {
                AppendQuoted(pos_ + 1, close);
                pos_ = close + 1;
                out_.ends_.push_back(out_.texts_.size());
                return;
            }
        }
        const qsizetype start = pos_;
        while (pos_ < n_ && !EndsCell(text_[pos_])) ++pos_;
        out_.texts_.append(text_.mid(start, pos_ - start));
        out_.ends_.push_back(out_.texts_.size());
    }

    void EndRow() {
        const std::size_t first = out_.rowEnds_.empty() ? 0 : out_.rowEnds_.back();
        out_.width_ = std::max(out_.width_, out_.ends_.size() - first);
        out_.rowEnds_.push_back(out_.ends_.size());
    }

    // The quoted cell opening at `open` reads on: "" is one quote and is
    // stepped over whole, any other character one at a time.
    qsizetype Step(qsizetype i) const { return text_[i] == u'"' && i + 1 < n_ && text_[i + 1] == u'"' ? 2 : 1; }

    // The closing quote of the quoted cell opening at `open`, or -1 if it
    // never closes. Where such a scan goes depends only on the position it
    // is at, so positions that an unclosed scan passed through are marked: a
    // later scan that reaches one of them cannot close either. This keeps
    // text full of stray quotes linear instead of rescanning the rest of it
    // for every quote. The marks are one bit a character, set by walking the
    // failed scan's path a second time rather than by remembering it.
    qsizetype ClosingQuote(qsizetype open) {
        qsizetype i = open + 1;
        while (i < n_) {
            if (!noClose_.empty() && noClose_[static_cast<size_t>(i)]) break;
            if (text_[i] == u'"' && Step(i) == 1 && EndsCellOrText(text_, i + 1)) return i;
            i += Step(i);
        }
        if (noClose_.empty()) noClose_.assign(static_cast<size_t>(n_), false);
        for (qsizetype p = open + 1; p < i; p += Step(p)) noClose_[static_cast<size_t>(p)] = true;
        return -1;
    }

    // The text of a closed quoted cell between its quotes, each "" as one '"'.
    void AppendQuoted(qsizetype from, qsizetype to) {
        while (from < to) {
            const qsizetype quote = text_.mid(from, to - from).indexOf(u'"');
            if (quote < 0) break;
            out_.texts_.append(text_.mid(from, quote + 1));
            from += quote + Step(from + quote);
        }
        out_.texts_.append(text_.mid(from, to - from));
    }

    const QStringView text_;
    const qsizetype n_;
    ClipboardCells& out_;
    qsizetype pos_ = 0;
    std::vector<bool> noClose_;
};

namespace {

}  // namespace

void AppendClipboardRow(QString& text, const std::vector<QString>& row) {
    for (size_t c = 0; c < row.size(); ++c) {
        if (c > 0) text += u'\t';
        const QString& cell = row[c];
        if (NeedsQuotes(cell)) {
            text += u'"';
            text += QString(cell).replace(u'"', QStringLiteral("\"\""));
            text += u'"';
        } else {
            text += cell;
        }
    }
    text += QStringLiteral("\r\n");
}

QString CellsToClipboardText(const std::vector<std::vector<QString>>& rows) {
    QString text;
    for (const auto& row : rows) AppendClipboardRow(text, row);
    return text;
}

ClipboardCells ParseClipboardCells(const QString& text) {
    ClipboardCells cells;
    ClipboardParser(text, cells).Run();
    return cells;
}

ClipboardBlock ParseClipboardText(const QString& text) {
    const ClipboardCells cells = ParseClipboardCells(text);
    ClipboardBlock block;
    block.width = cells.width();
    block.rows.resize(cells.rowCount());
    for (std::size_t r = 0; r < cells.rowCount(); ++r)
        for (std::size_t c = 0; c < cells.rowWidth(r); ++c) block.rows[r].push_back(cells.cell(r, c).toString());
    return block;
}

std::size_t ClipboardCellsBytes(QStringView text) {
    const std::size_t cells = ClipboardParser::Separators(text) + 1;
    // The texts, where each cell ends, where each row ends, and a bit a
    // character for the marks of quoted cells that never close.
    return static_cast<std::size_t>(text.size()) * sizeof(QChar) + cells * (sizeof(qsizetype) + sizeof(std::size_t)) +
           static_cast<std::size_t>(text.size()) / 8;
}

}  // namespace velkin
