#pragma once
// Writes an assembled warrior in the load form the program reads: the header
// lines ";redcode-94", ";name NAME" and ";author AUTHOR", then one fully
// written-out instruction a line, the start instruction labelled "start".

#include <string>

#include "asm/Warrior.h"

namespace tw::redcode {

// One line per instruction, each ended by "\n":
//   label field of 7 characters ("start" or blanks), operation "." modifier
//   padded to 7, then "<mode><value>, <mode><value>", values printed in
//   -3999..4000 (a field above 4000 is printed minus 8000).
std::string WriteLoadForm(const AssembledWarrior& warrior);

// One instruction's text without the label field, e.g. "MOV.I  $0, $1".
std::string FormatInstruction(const AssembledInstruction& instruction);

}  // namespace tw::redcode
