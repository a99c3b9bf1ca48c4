#pragma once
// The extended-precision definition of a tone's sample, written once for
// any type with the x87 extended format's arithmetic: long double on x86,
// Extended80 elsewhere. ToneReference.cpp instantiates it with ExtendedReal;
// the tests instantiate it with both types and compare.
//
// Each partial is formed left to right as written, scaled by 32767 then
// divided by 6, and added into a double sum by AddPartialIn (the sum taken
// in the extended type, then rounded to double).

#include <cmath>

namespace tw::tone_formula {

template <class Real>
Real Theta(double t, const Real& pi) {
  return pi * Real(t) * Real(2);
}

template <class Real>
Real Scaled(const Real& x) {
  return x * Real(32767) / Real(6);
}

template <class Real>
Real Harmonic(const Real& theta, int field, int factor) {
  using std::cos;
  return Scaled(cos(theta * Real(field) * Real(factor)));
}

template <class Real>
Real PhaseCos(const Real& theta, double t, int m, const Real& pi) {
  using std::cos;
  const Real mx = Real(m);
  return Scaled(cos(cos(theta * mx) * (mx * Real(t) * pi * Real(2))));
}

template <class Real>
Real PhaseSin(const Real& theta, double t, int m, const Real& pi) {
  using std::sin;
  const Real mx = Real(m);
  return Scaled(sin(sin(theta * mx) * (mx * Real(t) * pi * Real(2))));
}

template <class Real>
double AddPartialIn(double sum, const Real& partial) {
  return static_cast<double>(Real(sum) + partial);
}

// The six partials of the fields op, md, am, bm, ma, mb at time t, added.
template <class Real>
double Sample(const int (&fields)[6], double t, const Real& pi) {
  const Real theta = Theta(t, pi);
  const Real partials[6] = {Harmonic(theta, fields[0], 30),    Harmonic(theta, fields[1], 50),
                            Harmonic(theta, fields[2], 80),    Harmonic(theta, fields[3], 120),
                            PhaseCos(theta, t, fields[4], pi), PhaseSin(theta, t, fields[5], pi)};
  double sum = 0;
  for (const Real& p : partials) sum = AddPartialIn(sum, p);
  return sum;
}

}  // namespace tw::tone_formula
