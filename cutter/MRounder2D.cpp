#include <algorithm>
#include <cmath>
#include <numbers>

#include "MCutProfile.h"

namespace {

using Vec = MRounder2D::Point3;

Vec Minus(const Vec& a, const Vec& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec Plus(const Vec& a, const Vec& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec Scaled(const Vec& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double Length(const Vec& a) { return std::sqrt(Dot(a, a)); }
Vec Cross(const Vec& a, const Vec& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec WithLength(const Vec& a, double length) { return Scaled(a, length / Length(a)); }
bool IsFinite(const Vec& a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }
bool Equal(const Vec& a, const Vec& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Bounds the arc's point count when the tolerance is tiny against the radius.
constexpr double kMaxSteps = 100000.0;

}  // namespace

void MRounder2D::SetCorner(double px, double py, double pz, double cx, double cy, double cz, double nx, double ny,
                           double nz, double radius, double tolerance) {
    m_previous = {px, py, pz};
    m_corner = {cx, cy, cz};
    m_next = {nx, ny, nz};
    m_radius = radius;
    m_tolerance = tolerance;
}

void MRounder2D::Round() {
    m_output.assign(1, m_corner);
    if (!(m_tolerance > 0.0) || !(m_radius > 0.0) || !std::isfinite(m_radius)) return;
    if (!IsFinite(m_previous) || !IsFinite(m_corner) || !IsFinite(m_next)) return;
    if (Equal(m_previous, m_corner) || Equal(m_next, m_corner)) return;

    const Vec a = Minus(m_corner, m_previous);
    const Vec b = Minus(m_next, m_corner);
    const double la = Length(a), lb = Length(b);
    const Vec ua = Scaled(a, 1.0 / la), ub = Scaled(b, 1.0 / lb);
    const Vec w = Cross(ua, ub);  // the corner's normal
    const double lw = Length(w);
    if (lw == 0.0) return;  // straight on, or a full reversal

    double phi = std::asin(std::clamp(lw, -1.0, 1.0));  // turning angle
    if (Dot(ua, ub) <= 0.0) phi = std::numbers::pi - phi;
    const double halfTan = std::tan(phi / 2.0);
    const double legUsed = std::min({la, lb, 2.0 * m_radius * halfTan});
    const double r = legUsed / (2.0 * halfTan);
    m_radius = r;
    if (!(r > 0.0) || !std::isfinite(r)) return;

    const double stepAngle = 2.0 * std::acos(std::clamp((r - m_tolerance) / r, -1.0, 1.0));
    const double steps = stepAngle > 0.0 ? std::min(std::abs(phi) / stepAngle + 0.5, kMaxSteps) : kMaxSteps;
    const unsigned long n = static_cast<unsigned long>(std::trunc(steps));
    if (n == 0) return;

    // The centre lies on the inner bisector at r / cos(phi/2) from C; e1
    // points from it to the tangent point on the incoming leg, e2 is e1
    // turned a quarter towards the outgoing leg.
    const Vec bisectorNormal = Cross(w, Plus(ua, ub));
    const double k = r / (Length(bisectorNormal) * std::sin((std::numbers::pi - phi) / 2.0));
    const Vec centre = Plus(m_corner, Scaled(bisectorNormal, k));
    const Vec e1 = WithLength(Cross(ua, w), r);
    const Vec e2 = WithLength(Cross(w, e1), r);

    m_output.clear();
    m_output.reserve(n + 1);
    for (unsigned long i = 0; i <= n; ++i) {
        const double theta = static_cast<double>(i) / static_cast<double>(n) * phi;
        const Vec v = Plus(Scaled(e1, std::cos(theta)), Scaled(e2, std::sin(theta)));
        m_output.push_back(Plus(centre, Scaled(v, r / Length(v))));
    }
}
