#include "host/MMath.h"

namespace MMExact {
namespace {
inline void TwoSum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bv = s - a;
    e = (a - (s - bv)) + (b - bv);
}

// Adds b to the expansion h[0..n) in place; h must have room for n + 1 terms.
inline int GrowExpansion(double* h, int n, double b) {
    double q = b;
    for (int i = 0; i < n; ++i) {
        double s, e;
        TwoSum(q, h[i], s, e);
        h[i] = e;
        q = s;
    }
    h[n] = q;
    return n + 1;
}
}  // namespace

int PlaneSideSign(double a, double b, double c, double d, int32_t x, int32_t y, int32_t z) {
    // Scale the coefficients by a power of two so that no product overflows;
    // scaling by 2^k is exact and keeps the sign.
    const double biggest = std::max(std::max(std::fabs(a), std::fabs(b)), std::max(std::fabs(c), std::fabs(d)));
    if (!(biggest > 0.0) || !std::isfinite(biggest)) return 0;
    int exponent = 0;
    std::frexp(biggest, &exponent);
    if (exponent > 64 || exponent < -64) {
        a = std::ldexp(a, -exponent); b = std::ldexp(b, -exponent);
        c = std::ldexp(c, -exponent); d = std::ldexp(d, -exponent);
    }
    const double px = a * double(x), py = b * double(y), pz = c * double(z);
    const double sum = (px + py) + (pz + d);
    const double magnitude = std::fabs(px) + std::fabs(py) + std::fabs(pz) + std::fabs(d);
    const double bound = magnitude * (8.0 * std::numeric_limits<double>::epsilon());
    if (sum > bound) return 1;
    if (sum < -bound) return -1;

    // Exact path: every product is split as p + e with e = fma(a, x, -p).
    double terms[7] = {px, std::fma(a, double(x), -px), py, std::fma(b, double(y), -py),
                       pz, std::fma(c, double(z), -pz), d};
    double h[8];
    int n = 0;
    for (double t : terms) n = GrowExpansion(h, n, t);
    for (int i = n - 1; i >= 0; --i) {
        if (h[i] > 0.0) return 1;
        if (h[i] < 0.0) return -1;
    }
    return 0;
}
}  // namespace MMExact

bool MMTransformMatrix::MakeTransformation(const MMVector3d& origin, const MMVector3d& x, const MMVector3d& y,
                                           const MMVector3d& z) {
    // Frame-to-world matrix F has the axes as columns and the origin as
    // translation; the transform into the frame is its inverse.
    MMTransformMatrix frame;
    for (int r = 0; r < 3; ++r) {
        frame(r, 0) = x[r];
        frame(r, 1) = y[r];
        frame(r, 2) = z[r];
        frame(r, 3) = origin[r];
    }
    if (!frame.Inverse(*this)) {
        SetIdentity();
        return false;
    }
    return true;
}

MMTransformMatrix MMTransformMatrix::operator*(const MMTransformMatrix& o) const {
    MMTransformMatrix r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) s += m_m[i][k] * o.m_m[k][j];
            r.m_m[i][j] = s;
        }
    return r;
}

bool MMTransformMatrix::Inverse(MMTransformMatrix& out) const {
    const double (&m)[4][4] = m_m;
    const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    const double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    const double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    const double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
    if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) return false;
    const double inv = 1.0 / det;
    double r[3][3];
    r[0][0] = c00 * inv;
    r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * inv;
    r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * inv;
    r[1][0] = c01 * inv;
    r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * inv;
    r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * inv;
    r[2][0] = c02 * inv;
    r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * inv;
    r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * inv;
    out.SetIdentity();
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) out.m_m[i][j] = r[i][j];
        out.m_m[i][3] = -(r[i][0] * m[0][3] + r[i][1] * m[1][3] + r[i][2] * m[2][3]);
    }
    return true;
}

bool MMTransformMatrix::IsIdentity() const {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (m_m[r][c] != (r == c ? 1.0 : 0.0)) return false;
    return true;
}

void MMLeastSquarePlane::Init() {
    m_points.clear();
    m_normal = {0.0, 0.0, 1.0};
    m_centre = {};
    m_maxDeviation = 0.0;
    m_isLine = false;
}

void MMLeastSquarePlane::AddPoint(double x, double y, double z) { m_points.push_back({x, y, z}); }

namespace {
// Eigen-decomposition of a symmetric 3x3 matrix by cyclic Jacobi rotations.
void SymmetricEigen(double a[3][3], double values[3], double vectors[3][3]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) vectors[i][j] = i == j ? 1.0 : 0.0;
    for (int sweep = 0; sweep < 50; ++sweep) {
        const double off = std::fabs(a[0][1]) + std::fabs(a[0][2]) + std::fabs(a[1][2]);
        if (off == 0.0) break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0.0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < 3; ++k) {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double vkp = vectors[k][p], vkq = vectors[k][q];
                    vectors[k][p] = c * vkp - s * vkq;
                    vectors[k][q] = s * vkp + c * vkq;
                }
            }
    }
    for (int i = 0; i < 3; ++i) values[i] = a[i][i];
}
}  // namespace

bool MMLeastSquarePlane::Calculate() {
    m_isLine = false;
    m_maxDeviation = 0.0;
    if (m_points.size() < 3) {
        m_isLine = true;
        return false;
    }
    MMVector3d centre;
    for (const auto& p : m_points) centre += p;
    centre *= 1.0 / double(m_points.size());
    m_centre = centre;
    double cov[3][3] = {};
    for (const auto& p : m_points) {
        const MMVector3d d = p - centre;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) cov[i][j] += d[i] * d[j];
    }
    double values[3], vectors[3][3];
    SymmetricEigen(cov, values, vectors);
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int l, int r) { return values[l] < values[r]; });
    const double largest = values[order[2]];
    if (!(largest > 0.0)) {
        m_isLine = true;
        return false;
    }
    m_isLine = values[order[1]] <= largest * 1e-18;
    m_normal = {vectors[0][order[0]], vectors[1][order[0]], vectors[2][order[0]]};
    m_normal.Normalize();
    for (const auto& p : m_points) m_maxDeviation = std::max(m_maxDeviation, std::fabs((p - centre).Dot(m_normal)));
    return !m_isLine;
}

namespace QelSDK::Math {
namespace {
MMVector3d ClosestOnSegment(const MMVector3d& p, const MMVector3d& a, const MMVector3d& b) {
    const MMVector3d ab = b - a;
    const double len2 = ab.SquaredLength();
    if (!(len2 > 0.0)) return a;
    const double t = std::clamp((p - a).Dot(ab) / len2, 0.0, 1.0);
    return a + ab * t;
}
}  // namespace

double point_to_triangle_distance(const MMVector3d& p, const MMVector3d& a, const MMVector3d& b, const MMVector3d& c,
                                  MMVector3d* closest) {
    // Region test of the closest-point problem (barycentric Voronoi regions).
    const MMVector3d ab = b - a, ac = c - a, ap = p - a;
    MMVector3d q;
    if (ab.Cross(ac).SquaredLength() == 0.0) {
        const MMVector3d c1 = ClosestOnSegment(p, a, b), c2 = ClosestOnSegment(p, b, c), c3 = ClosestOnSegment(p, c, a);
        q = c1;
        if ((p - c2).SquaredLength() < (p - q).SquaredLength()) q = c2;
        if ((p - c3).SquaredLength() < (p - q).SquaredLength()) q = c3;
    } else {
        const double d1 = ab.Dot(ap), d2 = ac.Dot(ap);
        const MMVector3d bp = p - b;
        const double d3 = ab.Dot(bp), d4 = ac.Dot(bp);
        const MMVector3d cp = p - c;
        const double d5 = ab.Dot(cp), d6 = ac.Dot(cp);
        const double va = d3 * d6 - d5 * d4, vb = d5 * d2 - d1 * d6, vc = d1 * d4 - d3 * d2;
        if (d1 <= 0 && d2 <= 0) q = a;
        else if (d3 >= 0 && d4 <= d3) q = b;
        else if (d6 >= 0 && d5 <= d6) q = c;
        else if (vc <= 0 && d1 >= 0 && d3 <= 0) q = a + ab * (d1 / (d1 - d3));
        else if (vb <= 0 && d2 >= 0 && d6 <= 0) q = a + ac * (d2 / (d2 - d6));
        else if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0) q = b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)));
        else {
            const double denom = 1.0 / (va + vb + vc);
            q = a + ab * (vb * denom) + ac * (vc * denom);
        }
    }
    if (closest) *closest = q;
    return (p - q).Length();
}
}  // namespace QelSDK::Math
