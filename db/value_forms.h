#pragma once
// The value texts every engine makes the same way from what its client
// library hands over: bytes as hexadecimal digits, fixed-length character
// data padded or stripped, a cursor's row count.

#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

namespace velkin {

// `bytes` as upper-case hexadecimal digits, two to a byte ("00FF10").
QString HexText(std::string_view bytes);

// `text` without its trailing blanks.
void StripTrailingBlanks(QString& text);
std::string_view WithoutTrailingBlanks(std::string_view text);

// `text` with blanks added up to `length` characters; a longer text stays as it is.
void PadWithBlanks(QString& text, qsizetype length);

// A count of rows as a cursor reports it: one past what a 32-bit count holds
// throws error 6.
int32_t RowCount(int64_t rows);

// A row count made when first asked (by a query of its own, say) and kept.
class LazyRowCount {
public:
    template <class Count>
    int32_t get(Count count) {
        if (!rows_) rows_ = count();
        return RowCount(*rows_);
    }

private:
    std::optional<int64_t> rows_;
};

}  // namespace velkin
