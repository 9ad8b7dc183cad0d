#include "db/value_forms.h"

#include "db/error.h"

#include <QByteArray>

#include <limits>

namespace velkin {

QString HexText(std::string_view bytes) {
    return QString::fromLatin1(
        QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size())).toHex().toUpper());
}

void StripTrailingBlanks(QString& text) {
    qsizetype length = text.size();
    while (length > 0 && text.at(length - 1) == QLatin1Char(' ')) --length;
    text.truncate(length);
}

std::string_view WithoutTrailingBlanks(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

void PadWithBlanks(QString& text, qsizetype length) {
    if (text.size() < length) text.resize(length, QLatin1Char(' '));
}

int32_t RowCount(int64_t rows) {
    if (rows > std::numeric_limits<int32_t>::max()) throw Error::Overflow();
    return static_cast<int32_t>(rows);
}

}  // namespace velkin
