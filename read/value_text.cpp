#include "read/value_text.h"

#include <limits>
#include <optional>

namespace velkin {

QString ColumnTypeText(const QString& type, int32_t size, int32_t scale) {
    QString text = type + QLatin1Char('(') + QString::number(size);
    if (scale > 0) text += QLatin1Char('.') + QString::number(scale);
    return text + QLatin1Char(')');
}

ColumnInfo CatalogueEntry(ColumnKind kind, int32_t fieldSize, int32_t scale) {
    switch (kind) {
        case ColumnKind::Text: return {QStringLiteral("VARCHAR2"), fieldSize, 0};
        case ColumnKind::FixedChar: return {QStringLiteral("CHAR"), fieldSize, 0};
        case ColumnKind::Number: {
            // Stays defined for the smallest size a component could report.
            const int32_t size =
                fieldSize == std::numeric_limits<int32_t>::min() ? fieldSize : fieldSize - 1;
            return {QStringLiteral("NUMBER"), size, scale};
        }
        case ColumnKind::Date: return {QStringLiteral("DATE"), 8, 0};
        case ColumnKind::Other: break;
    }
    return {QStringLiteral("ETC"), 0, 0};
}

}  // namespace velkin
