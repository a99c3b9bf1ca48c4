#pragma once
// Splits one line of Redcode source into tokens. The lexer knows characters
// only: which words are operations, labels or keywords is the expander's and
// the parser's business. It never fails; a byte that starts no token becomes a
// kOther token, which the steps after it report where it matters.

#include <cstdint>
#include <string_view>
#include <vector>

#include "asm/Token.h"

namespace tw::redcode {

// Tokens of `text` (one line, without its line break) up to the first ";",
// which starts a comment. The tokens' texts are views into `text`, which
// must outlive them. `line` is stored in every token; columns count
// bytes from 1. "&&", "||", "==", "!=", "<=" and ">=" are single tokens when
// their two characters touch.
std::vector<Token> LexLine(std::string_view text, std::uint32_t line);

}  // namespace tw::redcode
