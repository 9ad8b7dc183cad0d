#include "read/column_catalogue.h"

#include "db/error.h"

namespace velkin {

const CatalogueColumn& ColumnCatalogue::column(size_t j) const {
    if (j >= columns_.size()) throw Error::SubscriptOutOfRange();
    return columns_[j];
}

const ColumnOrigin& ColumnCatalogue::origin(size_t j) const {
    static const ColumnOrigin plain;
    return j < columns_.size() ? columns_[j].origin : plain;
}

}  // namespace velkin
