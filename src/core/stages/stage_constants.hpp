#pragma once

namespace nightdehaze::detail {

// Constants that more than one stage uses, each with the reason it has its value.

// 8-bit units per unit intensity: planes on the 0..1 scale times this are on 0..255.
constexpr double kUnitScale = 255.0;

// The dark channel of the light estimate uses a window half-size of r + 2 for a
// stage radius r: a little wider than the light's own windows.
constexpr int kDarkWindowExtra = 2;

// Added to a light level before dividing by it: keeps the quotient finite
// where the light is 0.
constexpr double kLightGuard = 1e-7;

}  // namespace nightdehaze::detail
