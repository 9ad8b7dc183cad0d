#pragma once
// A value's exact form (db/session.h ExactValue) as the sheet keeps it beside
// the read's texts: a few bytes, so that a column whose every value has an
// exact form (numbers with trailing zeros) costs little more than its texts.
//
//   byte 0    the ExactNeed bits
//   byte 1    the kind
//   then      AsShown: nothing (the cell text's own literal serves)
//             Literal: the literal's UTF-8 bytes
//             TrailingZeros: the count, one byte per 7 bits, low bits first;
//             the literal is the cell text with a point (when it has none)
//             and that many zeros after it: "1.5" -> 1.50, "5" -> 5.0
//             Unpadded: nothing; the literal is the cell text without its
//             trailing blanks, quoted: "K1      " -> 'K1'

#include "db/session.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace velkin {

struct ExactForm {
    enum class Kind : uint8_t { AsShown, Literal, TrailingZeros, Unpadded };
    uint8_t needs = 0;
    Kind kind = Kind::AsShown;
    std::string_view literal;  // Literal: UTF-8
    uint32_t trailingZeros = 0;
};

// The encoded Unpadded form without needs. A CHAR column whose values the
// database keeps shorter than its width gives it to nearly every value, so
// the sheet keeps it as one bit per cell.
inline constexpr std::string_view kUnpaddedExact{"\0\3", 2};
static_assert(static_cast<uint8_t>(ExactForm::Kind::Unpadded) == 3);

// `shown` is the value's cell text (UTF-8) as the read put it in the grid.
std::string EncodeExact(std::string_view shown, const ExactValue& value);
// Empty `encoded`: no exact form (kind AsShown, no needs).
ExactForm DecodeExact(std::string_view encoded);

}  // namespace velkin
