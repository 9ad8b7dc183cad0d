#include "read/value_text.h"

#include <limits>
#include <optional>

namespace velkin {

QString ColumnKindName(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Varchar2: return QStringLiteral("VARCHAR2");
        case ColumnKind::Char: return QStringLiteral("CHAR");
        case ColumnKind::Number: return QStringLiteral("NUMBER");
        case ColumnKind::Date: return QStringLiteral("DATE");
        case ColumnKind::Other: break;
    }
    return QStringLiteral("ETC");
}

QString ColumnTypeText(const QString& type, int32_t size, int32_t scale) {
    QString text = type + QLatin1Char('(') + QString::number(size);
    if (scale > 0) text += QLatin1Char('.') + QString::number(scale);
    return text + QLatin1Char(')');
}

QString ColumnTypeText(const ColumnInfo& info) { return ColumnTypeText(ColumnKindName(info.kind), info.size, info.scale); }

ColumnInfo CatalogueEntry(int32_t oraTypeCode, int32_t fieldSize, int32_t oraScale) {
    switch (oraTypeCode) {
        case 1: return {ColumnKind::Varchar2, fieldSize, 0};
        case 96: return {ColumnKind::Char, fieldSize, 0};
        case 2: {
            // Stays defined for the smallest size a component could report.
            const int32_t size =
                fieldSize == std::numeric_limits<int32_t>::min() ? fieldSize : fieldSize - 1;
            return {ColumnKind::Number, size, oraScale};
        }
        case 12: return {ColumnKind::Date, 8, 0};
        default: return {ColumnKind::Other, 0, 0};
    }
}

}  // namespace velkin
