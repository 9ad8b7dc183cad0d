#include "grid/clipboard_text.h"

#include <algorithm>
#include <optional>

namespace velkin {

namespace {

bool EndsCell(QChar c) { return c == u'\t' || c == u'\r' || c == u'\n'; }

bool NeedsQuotes(const QString& cell) {
    return std::any_of(cell.begin(), cell.end(),
                       [](QChar c) { return EndsCell(c) || c == u'"'; });
}

class Parser {
public:
    explicit Parser(const QString& text) : text_(text), n_(text.size()) {}

    ClipboardBlock Run() {
        ClipboardBlock block;
        if (n_ == 0) return block;
        std::vector<QString> row;
        for (;;) {
            row.push_back(Cell());
            if (pos_ == n_) break;
            if (text_[pos_] == u'\t') {
                ++pos_;
                continue;
            }
            pos_ += (text_[pos_] == u'\r' && pos_ + 1 < n_ && text_[pos_ + 1] == u'\n') ? 2 : 1;
            block.width = std::max(block.width, row.size());
            block.rows.push_back(std::move(row));
            row.clear();
            if (pos_ == n_) return block;  // the final line break opens no row
        }
        block.width = std::max(block.width, row.size());
        block.rows.push_back(std::move(row));
        return block;
    }

private:
    // Reads the cell at pos_ and leaves pos_ on the TAB or line break after
    // it, or at the end of the text.
    QString Cell() {
        if (pos_ < n_ && text_[pos_] == u'"') {
            if (auto quoted = Quoted()) return *quoted;
        }
        const qsizetype start = pos_;
        while (pos_ < n_ && !EndsCell(text_[pos_])) ++pos_;
        return text_.mid(start, pos_ - start);
    }

    // The quoted cell opening at pos_, or nothing if it never closes. Where
    // such a scan goes depends only on the position it is at, so positions
    // that an unclosed scan passed through are remembered: a later scan that
    // reaches one of them cannot close either. This keeps text full of stray
    // quotes linear instead of rescanning the rest of it for every quote.
    std::optional<QString> Quoted() {
        QString cell;
        std::vector<qsizetype> passed;
        qsizetype i = pos_ + 1;
        while (i < n_) {
            if (!noClose_.empty() && noClose_[static_cast<size_t>(i)]) break;
            passed.push_back(i);
            const QChar c = text_[i];
            if (c == u'"') {
                if (i + 1 < n_ && text_[i + 1] == u'"') {
                    cell += u'"';
                    i += 2;
                    continue;
                }
                if (i + 1 == n_ || EndsCell(text_[i + 1])) {
                    pos_ = i + 1;
                    return cell;
                }
            }
            cell += c;
            ++i;
        }
        if (noClose_.empty()) noClose_.assign(static_cast<size_t>(n_), false);
        for (qsizetype p : passed) noClose_[static_cast<size_t>(p)] = true;
        return std::nullopt;
    }

    const QString& text_;
    const qsizetype n_;
    qsizetype pos_ = 0;
    std::vector<bool> noClose_;
};

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

ClipboardBlock ParseClipboardText(const QString& text) { return Parser(text).Run(); }

}  // namespace velkin
