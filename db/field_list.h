#pragma once
// The fields collection every engine's dynaset hands out: its own field type
// in a vector filled once when the dynaset opens.

#include "db/error.h"
#include "db/session.h"

#include <vector>

namespace velkin {

template <class FieldType>
class FieldList final : public OraFields {
public:
    int16_t Count() const override { return static_cast<int16_t>(fields_.size()); }

    OraField& Item(int32_t index) override {
        if (index < 0 || static_cast<size_t>(index) >= fields_.size()) throw Error::SubscriptOutOfRange();
        return fields_[static_cast<size_t>(index)];
    }

    // Never grows after the dynaset has opened, so the references Item hands
    // out stay valid.
    std::vector<FieldType> fields_;
};

}  // namespace velkin
