#include "read/value_text.h"

#include <limits>
#include <optional>

namespace velkin {

QString ColumnTypeText(const QString& type, int32_t size, int32_t scale) {
    QString text = type + QLatin1Char('(') + QString::number(size);
    if (scale > 0) text += QLatin1Char('.') + QString::number(scale);
    return text + QLatin1Char(')');
}

ColumnInfo CatalogueEntry(int32_t oraTypeCode, int32_t fieldSize, int32_t oraScale) {
    switch (oraTypeCode) {
        case 1: return {QStringLiteral("VARCHAR2"), fieldSize, 0};
        case 96: return {QStringLiteral("CHAR"), fieldSize, 0};
        case 2: {
            // Stays defined for the smallest size a component could report.
            const int32_t size =
                fieldSize == std::numeric_limits<int32_t>::min() ? fieldSize : fieldSize - 1;
            return {QStringLiteral("NUMBER"), size, oraScale};
        }
        case 12: return {QStringLiteral("DATE"), 8, 0};
        default: return {QStringLiteral("ETC"), 0, 0};
    }
}

}  // namespace velkin
