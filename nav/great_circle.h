// Great-circle distance on a sphere by the spherical law of cosines, for the track logger
// and the location source; each brings its own earth radius.
#pragma once

inline constexpr double kDegToRad = 0.017453292519943295;

// Rounding can push the cosine of the central angle just past 1 for two equal positions
// (or past -1 for two opposite ones). kClamp holds it within [-1, 1], so that such a pair
// is 0 (or half the circumference) apart; kNone leaves it, and the distance is then not a
// number, which compares as no distance at all.
enum class GreatCircleClamp { kNone, kClamp };

// Metres from (lon1, lat1) to (lon2, lat2), in degrees, on a sphere of the given radius.
double GreatCircleDistance(double lon1, double lat1, double lon2, double lat2, double radius,
                           GreatCircleClamp clamp);
