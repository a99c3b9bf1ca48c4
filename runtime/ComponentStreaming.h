#pragma once
// Writes a component's streamed properties as readable text and reads them
// back into a component of the same class.
//
// The text form (UTF-8 bytes, lines ending in "\n"; "\r\n" is also read):
//
//   object Player1: TAudioPlayer
//     Options = [woSetVolume]
//     VolumeLeft = 50
//     Pitch = 1.5
//     Data = {
//       524946462C00000057415645666D74201000000001000200441AC00010B10200
//       ...
//     }
//   end
//
// - The first line names the component and its class: "object NAME: CLASS",
//   or "object CLASS" when the component has no name. A name that is not an
//   identifier (letters, digits and underscores, not starting with a digit)
//   is written quoted, like a value.
// - One line per published property whose Stored rule holds, in the order
//   the component lists them, indented by two spaces: NAME = VALUE. The Name
//   property is not repeated (the first line carries it). A VALUE is the
//   property's own text, written as is when it is plain (not empty, no
//   leading or trailing blank, no control character, not starting with ', #
//   or {); otherwise quoted: between single quotes with a quote doubled, and
//   a control character as #NN (its decimal code) outside the quotes, so
//   'two'#10'lines' is "two", a line feed and "lines". '' is the empty text.
// - One block per binary property whose HasData holds, after the published
//   ones: "NAME = {", the bytes as upper-case hexadecimal, 32 bytes per line
//   indented by four spaces, and "}" indented by two.
// - "end" closes the object.
//
// Reading parses that form (indentation and blanks around "=" are free),
// checks the class, sets the name and hands every value to the property's
// Set in the order it appears, and every binary block to its Read as a
// stream holding exactly those bytes. Properties that are absent keep their
// current values. The stream is left just after the "end" line.

#include <string>

#include "runtime/Component.h"
#include "runtime/Exceptions.h"

namespace tw {

class TStream;

// Malformed text, another class, an unknown property or a value the
// property refuses. The message gives the line number and what was wrong.
TW_DECLARE_EXCEPTION(EComponentReadError, EStreamError);

// Appends the text form of Component at Stream's position.
void WriteComponent(TStream& Stream, TComponent& Component);
// Reads one object from Stream's position into Component; raises
// EComponentReadError (the component may then hold some of the values).
void ReadComponent(TStream& Stream, TComponent& Component);

// The same over a string.
std::string ComponentToText(TComponent& Component);
void ComponentFromText(const std::string& Text, TComponent& Component);

}  // namespace tw
