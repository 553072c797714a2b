// Great-circle arithmetic on a sphere, positions in degrees: the distance for the track
// logger and the location source (each brings its own earth radius) and the course.
#pragma once

// Rounding can push the cosine of the central angle just past 1 for two equal positions
// (or past -1 for two opposite ones). kClamp holds it within [-1, 1], so that such a pair
// is 0 (or half the circumference) apart; kNone leaves it, and the distance is then not a
// number, which compares as no distance at all.
enum class GreatCircleClamp { kNone, kClamp };

// Metres from (lon1, lat1) to (lon2, lat2) on a sphere of the given radius, by the
// spherical law of cosines.
double GreatCircleDistance(double lon1, double lat1, double lon2, double lat2, double radius,
                           GreatCircleClamp clamp);

// Initial course from (lon1, lat1) towards (lon2, lat2), degrees clockwise from north in
// [0, 360].
double GreatCircleCourse(double lon1, double lat1, double lon2, double lat2);
