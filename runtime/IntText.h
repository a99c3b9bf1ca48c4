#pragma once
// The one integer-text parse of the program. The command line (the tone
// length) and the warrior line parser (operand values) both read numbers
// through it, so they accept and reject exactly the same texts.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tw {

// Reads `text` as a signed 32-bit integer.
//
// Accepted: any number of leading spaces, then an optional "+" or "-", then
// either decimal digits, or a hexadecimal number introduced by "$", "x", "X",
// "0x" or "0X". A decimal value must lie in -2147483648..2147483647. A
// hexadecimal number is a 32-bit pattern (so "$FFFFFFFF" is -1) and fails only
// when it needs more than 32 bits; a "-" before it negates the pattern modulo
// 2^32. Leading zeros never count against either range.
//
// Rejected (std::nullopt): an empty text, a sign or prefix with no digits after
// it, any other character anywhere (a trailing blank included), a decimal value
// outside the signed 32-bit range, a hexadecimal value above 32 bits.
std::optional<std::int32_t> ParseInt32(std::string_view text);

}  // namespace tw
