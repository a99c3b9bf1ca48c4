#pragma once
// The names an assembly knows: labels, EQU texts (the predefined constants
// are EQU texts too) and the counters of the FOR blocks being expanded.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "asm/SourceText.h"

namespace tw::redcode {

// The text of an EQU: one token line per EQU line. `expanding` is set while
// the text is being put in place, so a text that names itself is caught.
struct EquText {
  std::vector<TokenLine> lines;
  bool expanding = false;
};

struct Symbol {
  enum class Kind : std::uint8_t { kLabel, kText, kCounter };
  Kind kind = Kind::kLabel;
  std::int64_t value = 0;  // a label's instruction index, a counter's value
  std::shared_ptr<EquText> text;
};

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    return std::hash<std::string_view>{}(name);
  }
};
// Looked up by std::string_view without building a string.
using SymbolTable = std::unordered_map<std::string, Symbol, NameHash, std::equal_to<>>;

// Texts made during an assembly (names joined with "&", numbers continued by
// a FOR counter, the names of the predefined constants) that tokens refer
// to; a deque never moves them.
using NameStore = std::deque<std::string>;

// The predefined constants and their values when no override is given.
std::map<std::string, std::int64_t> DefaultConstants();

}  // namespace tw::redcode
