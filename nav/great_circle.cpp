// Great-circle distance on a sphere.
#include "nav/great_circle.h"

#include <cmath>

double GreatCircleDistance(double lon1, double lat1, double lon2, double lat2, double radius,
                           GreatCircleClamp clamp) {
  double p1 = lat1 * kDegToRad, p2 = lat2 * kDegToRad;
  double l1 = lon1 * kDegToRad, l2 = lon2 * kDegToRad;
  double cosine = std::sin(p1) * std::sin(p2) + std::cos(p1) * std::cos(p2) * std::cos(l1 - l2);
  if (clamp == GreatCircleClamp::kClamp) cosine = std::fmax(-1.0, std::fmin(1.0, cosine));
  return std::acos(cosine) * radius;
}
