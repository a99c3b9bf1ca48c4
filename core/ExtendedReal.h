#pragma once
// The extended-precision type the tone's reference is defined in: the
// machine's long double where that is the x87 extended format (64-bit
// significand), and the same arithmetic in software (Extended80) on other
// targets (WebAssembly), so that every target makes the same samples.
// ToneFormula.h writes the reference once for either type.

#include <cfloat>

#include "core/Extended80.h"

namespace tw {

#if LDBL_MANT_DIG == 64
using ExtendedReal = long double;
inline ExtendedReal ExtendedPi() { return 3.14159265358979323846264338327950288L; }
#else
using ExtendedReal = Extended80;
inline ExtendedReal ExtendedPi() { return Extended80Pi(); }
#endif

}  // namespace tw
