#pragma once
// Address folding and the Redcode line parser.

#include <cstdint>
#include <string_view>

#include "core/unit_core_types.h"

namespace tw {

// The floored remainder of value by CoreSize: always 0..7999, for every
// signed 32-bit value (no overflow near the ends of the range).
constexpr int NormalizeAddress(std::int32_t value) {
  int r = value % CoreSize;
  return r < 0 ? r + CoreSize : r;
}

// Turns one instruction line (without its line break) into `cell`, whose six
// elements are all overwritten. The line is not tokenised: the operation, the
// modifier and the two modes are each the first entry of their name table
// that the line (or the operand's text) contains, tried in table order. So a
// label may change the result (a label "mode" before JMP yields MOD).
//
// Failures raise tw::Exception (class name "Exception") with one of, checked
// in this order: "Failed to find instruction", "Failed to find modifier",
// "Failed to find comma", "Failed to find addressing A", "Failed to find
// addressing B", "Failed to read value A", "Failed to read value B". The cell
// may then hold part of the line's values.
void ParseRedcodeLine(std::string_view line, CoreCell& cell);

}  // namespace tw
