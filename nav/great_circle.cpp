// Great-circle arithmetic on a sphere.
#include "nav/great_circle.h"

#include <cmath>

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;

}  // namespace

double GreatCircleDistance(double lon1, double lat1, double lon2, double lat2, double radius,
                           GreatCircleClamp clamp) {
  double p1 = lat1 * kDegToRad, p2 = lat2 * kDegToRad;
  double l1 = lon1 * kDegToRad, l2 = lon2 * kDegToRad;
  double cosine = std::sin(p1) * std::sin(p2) + std::cos(p1) * std::cos(p2) * std::cos(l1 - l2);
  if (clamp == GreatCircleClamp::kClamp) cosine = std::fmax(-1.0, std::fmin(1.0, cosine));
  return std::acos(cosine) * radius;
}

double GreatCircleCourse(double lon1, double lat1, double lon2, double lat2) {
  double p1 = lat1 * kDegToRad, p2 = lat2 * kDegToRad;
  double dl = lon2 * kDegToRad - lon1 * kDegToRad;
  double course = std::atan2(std::sin(dl) * std::cos(p2),
                             std::cos(p1) * std::sin(p2) - std::sin(p1) * std::cos(p2) * std::cos(dl)) *
                  kRadToDeg;
  if (course < 0) course += 360;
  return course;
}
