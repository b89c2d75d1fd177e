// Small fixed-size vectors, planes, transforms and the few geometric helpers
// the cutting code needs.  Everything is header-only and allocation-free.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

template <class T, int N>
class MMVector {
public:
    MMVector() { m_v.fill(T(0)); }
    MMVector(T x, T y) requires(N == 2) : m_v{x, y} {}
    MMVector(T x, T y, T z) requires(N == 3) : m_v{x, y, z} {}
    template <class U>
    explicit MMVector(const MMVector<U, N>& o) {
        for (int i = 0; i < N; ++i) m_v[i] = T(o[i]);
    }

    T& operator[](int i) { return m_v[i]; }
    const T& operator[](int i) const { return m_v[i]; }
    T X() const { return m_v[0]; }
    T Y() const { return m_v[1]; }
    T Z() const requires(N == 3) { return m_v[2]; }

    MMVector operator+(const MMVector& o) const { MMVector r(*this); for (int i = 0; i < N; ++i) r[i] += o[i]; return r; }
    MMVector operator-(const MMVector& o) const { MMVector r(*this); for (int i = 0; i < N; ++i) r[i] -= o[i]; return r; }
    MMVector operator-() const { MMVector r; for (int i = 0; i < N; ++i) r[i] = -m_v[i]; return r; }
    MMVector operator*(T s) const { MMVector r(*this); for (int i = 0; i < N; ++i) r[i] *= s; return r; }
    MMVector operator/(T s) const { MMVector r(*this); for (int i = 0; i < N; ++i) r[i] /= s; return r; }
    MMVector& operator+=(const MMVector& o) { for (int i = 0; i < N; ++i) m_v[i] += o[i]; return *this; }
    MMVector& operator-=(const MMVector& o) { for (int i = 0; i < N; ++i) m_v[i] -= o[i]; return *this; }
    MMVector& operator*=(T s) { for (int i = 0; i < N; ++i) m_v[i] *= s; return *this; }
    bool operator==(const MMVector& o) const { return m_v == o.m_v; }

    T Dot(const MMVector& o) const { T s = 0; for (int i = 0; i < N; ++i) s += m_v[i] * o[i]; return s; }
    MMVector Cross(const MMVector& o) const requires(N == 3) {
        return {m_v[1] * o[2] - m_v[2] * o[1], m_v[2] * o[0] - m_v[0] * o[2], m_v[0] * o[1] - m_v[1] * o[0]};
    }
    T SquaredLength() const { return Dot(*this); }
    double Length() const { return std::sqrt(double(SquaredLength())); }
    // Scales to unit length; returns false (and leaves the vector) when it is zero.
    bool Normalize() {
        const double len = Length();
        if (!(len > 0.0)) return false;
        for (int i = 0; i < N; ++i) m_v[i] = T(m_v[i] / len);
        return true;
    }

private:
    std::array<T, N> m_v;
};

using MMVector3d = MMVector<double, 3>;
using MMVector3f = MMVector<float, 3>;
using MMVector3l = MMVector<long, 3>;
using MMVector2d = MMVector<double, 2>;
using MMVector2l = MMVector<long, 2>;

namespace MMExact {
// Sign of a*x + b*y + c*z + d for doubles a..d and 32-bit integers x, y, z,
// without rounding error.  A floating filter decides almost every call; when
// the value is too close to zero the products are split exactly with fma and
// summed as a non-overlapping expansion (Shewchuk), whose leading non-zero
// term carries the sign.
int PlaneSideSign(double a, double b, double c, double d, int32_t x, int32_t y, int32_t z);
}  // namespace MMExact

template <class T>
class MMPlaneEq;

template <>
class MMPlaneEq<double> {
public:
    MMPlaneEq() = default;
    MMPlaneEq(double a, double b, double c, double d) { Set(a, b, c, d); }

    void Set(double a, double b, double c, double d) { m_a = a; m_b = b; m_c = c; m_d = d; }
    // Plane through `point` with the given normal (not normalised).
    void Set(const MMVector3d& normal, const MMVector3d& point) {
        Set(normal[0], normal[1], normal[2], -normal.Dot(point));
    }
    double A() const { return m_a; }
    double B() const { return m_b; }
    double C() const { return m_c; }
    double D() const { return m_d; }
    MMVector3d GetNormal() const { return {m_a, m_b, m_c}; }
    // A usable plane has a finite equation and a non-zero normal.
    bool IsPlane() const {
        return std::isfinite(m_a) && std::isfinite(m_b) && std::isfinite(m_c) && std::isfinite(m_d) &&
               (m_a != 0.0 || m_b != 0.0 || m_c != 0.0);
    }
    // Signed distance; its sign tells the side.  Not normalised unless the
    // normal has unit length.
    double Distance(double x, double y, double z) const {
        return (m_a * x + m_b * y + m_c * z + m_d) / std::sqrt(m_a * m_a + m_b * m_b + m_c * m_c);
    }
    double Distance(const MMVector3d& p) const { return Distance(p[0], p[1], p[2]); }
    // Plain equation value a*x + b*y + c*z + d.
    double Evaluate(double x, double y, double z) const { return m_a * x + m_b * y + m_c * z + m_d; }
    // Exact side of an integer point: -1 negative side, 0 on the plane, +1 positive side.
    int Side(int32_t x, int32_t y, int32_t z) const { return MMExact::PlaneSideSign(m_a, m_b, m_c, m_d, x, y, z); }
    void Project(MMVector3d& out, const MMVector3d& p) const {
        const double nn = m_a * m_a + m_b * m_b + m_c * m_c;
        const double t = Evaluate(p[0], p[1], p[2]) / nn;
        out = {p[0] - t * m_a, p[1] - t * m_b, p[2] - t * m_c};
    }

private:
    double m_a = 0.0, m_b = 0.0, m_c = 1.0, m_d = 0.0;
};

class MMPlane {
public:
    MMPlane() = default;
    MMPlane(const MMVector3d& origin, const MMVector3d& normal) : m_origin(origin), m_normal(normal) {}
    const MMVector3d& GetOrigin() const { return m_origin; }
    const MMVector3d& GetNormal() const { return m_normal; }
    void SetOrigin(const MMVector3d& o) { m_origin = o; }
    void SetNormal(const MMVector3d& n) { m_normal = n; }
    MMPlaneEq<double> GetPlaneEqDouble() const {
        MMPlaneEq<double> eq;
        eq.Set(m_normal, m_origin);
        return eq;
    }

private:
    MMVector3d m_origin;
    MMVector3d m_normal{0.0, 0.0, 1.0};
};

// A 4x4 affine transform acting on column vectors: p' = M * (p, 1).
class MMTransformMatrix {
public:
    MMTransformMatrix() { SetIdentity(); }
    void SetIdentity() {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) m_m[r][c] = r == c ? 1.0 : 0.0;
    }
    double& operator()(int r, int c) { return m_m[r][c]; }
    double operator()(int r, int c) const { return m_m[r][c]; }

    // The transform that maps world coordinates into the frame with the given
    // origin and axes: p' = (x·(p-o), y·(p-o), z·(p-o)) for orthonormal axes;
    // for general axes the inverse of the frame-to-world matrix.  Returns false
    // for a singular frame.
    bool MakeTransformation(const MMVector3d& origin, const MMVector3d& x, const MMVector3d& y,
                            const MMVector3d& z);
    void ConvertToDouble16(double out[16]) const {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) out[r * 4 + c] = m_m[r][c];
    }
    MMTransformMatrix operator*(const MMTransformMatrix& o) const;
    // Inverse of the affine part; false when singular.
    bool Inverse(MMTransformMatrix& out) const;
    bool IsIdentity() const;

    MMVector3d Apply(const MMVector3d& p) const {
        return {m_m[0][0] * p[0] + m_m[0][1] * p[1] + m_m[0][2] * p[2] + m_m[0][3],
                m_m[1][0] * p[0] + m_m[1][1] * p[1] + m_m[1][2] * p[2] + m_m[1][3],
                m_m[2][0] * p[0] + m_m[2][1] * p[1] + m_m[2][2] * p[2] + m_m[2][3]};
    }
    MMVector3d ApplyToDirection(const MMVector3d& v) const {
        return {m_m[0][0] * v[0] + m_m[0][1] * v[1] + m_m[0][2] * v[2],
                m_m[1][0] * v[0] + m_m[1][1] * v[1] + m_m[1][2] * v[2],
                m_m[2][0] * v[0] + m_m[2][1] * v[1] + m_m[2][2] * v[2]};
    }

private:
    double m_m[4][4];
};

// Applies a matrix (and its inverse) to points.  The integer overloads round
// to the nearest grid point and fail when the result leaves the 32-bit range.
class MMTransform {
public:
    MMTransform() = default;
    explicit MMTransform(const MMTransformMatrix& m) { SetMatrix(m); }
    void SetMatrix(const MMTransformMatrix& m) { m_matrix = m; m_invertible = m.Inverse(m_inverse); }
    const MMTransformMatrix& GetMatrix() const { return m_matrix; }

    bool Transform(MMVector3d& p, bool /*isPoint*/ = true) const { p = m_matrix.Apply(p); return Finite(p); }
    bool Transform(double& x, double& y, double& z, bool isPoint = true) const {
        MMVector3d p{x, y, z};
        const bool ok = Transform(p, isPoint);
        x = p[0]; y = p[1]; z = p[2];
        return ok;
    }
    bool InverseTransform(MMVector3d& p, bool /*isPoint*/ = true) const {
        if (!m_invertible) return false;
        p = m_inverse.Apply(p);
        return Finite(p);
    }
    bool Transform(MMVector3l& p, bool isPoint = true) const { return ApplyInteger(m_matrix, p, isPoint); }
    bool InverseTransform(MMVector3l& p, bool isPoint = true) const {
        return m_invertible && ApplyInteger(m_inverse, p, isPoint);
    }

private:
    static bool Finite(const MMVector3d& p) { return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]); }
    static bool ApplyInteger(const MMTransformMatrix& m, MMVector3l& p, bool) {
        const MMVector3d r = m.Apply(MMVector3d(double(p[0]), double(p[1]), double(p[2])));
        for (int i = 0; i < 3; ++i)
            if (!(std::fabs(r[i]) <= 2147483646.0)) return false;
        p = {std::lround(r[0]), std::lround(r[1]), std::lround(r[2])};
        return true;
    }
    MMTransformMatrix m_matrix;
    MMTransformMatrix m_inverse;
    bool m_invertible = true;
};

// Least-squares plane through a point cloud (principal axis of least spread).
class MMLeastSquarePlane {
public:
    void Init();
    void AddPoint(double x, double y, double z);
    // Returns false for fewer than three points or a degenerate cloud.
    bool Calculate();
    bool GetIsLine() const { return m_isLine; }
    double GetMaxDeviation() const { return m_maxDeviation; }
    const MMVector3d& GetNormal() const { return m_normal; }
    const MMVector3d& GetCentre() const { return m_centre; }
    MMPlaneEq<double> GetPlane() const { MMPlaneEq<double> p; p.Set(m_normal, m_centre); return p; }

private:
    std::vector<MMVector3d> m_points;
    MMVector3d m_normal{0.0, 0.0, 1.0};
    MMVector3d m_centre;
    double m_maxDeviation = 0.0;
    bool m_isLine = false;
};

// A bounded planar rectangle: origin plus two edge vectors; the normal is
// u × v.
template <class T>
class MFrame {
public:
    MFrame() = default;
    // The third axis defaults to u × v.
    MFrame(const MMVector<T, 3>& origin, const MMVector<T, 3>& u, const MMVector<T, 3>& v)
        : m_origin(origin), m_u(u), m_v(v), m_w(u.Cross(v)) {}
    MFrame(const MMVector<T, 3>& origin, const MMVector<T, 3>& u, const MMVector<T, 3>& v, const MMVector<T, 3>& w)
        : m_origin(origin), m_u(u), m_v(v), m_w(w) {}
    const MMVector<T, 3>& GetOrigin() const { return m_origin; }
    const MMVector<T, 3>& GetU() const { return m_u; }
    const MMVector<T, 3>& GetV() const { return m_v; }
    const MMVector<T, 3>& GetW() const { return m_w; }
    MMVector<T, 3> GetNormal() const { return m_u.Cross(m_v); }
    void Set(const MMVector<T, 3>& origin, const MMVector<T, 3>& u, const MMVector<T, 3>& v) {
        *this = MFrame(origin, u, v);
    }
    // A caller's tag carried with the frame; the geometry does not use it.
    uint64_t GetId() const { return m_id; }
    void SetId(uint64_t id) { m_id = id; }

private:
    uint64_t m_id = 0;
    MMVector<T, 3> m_origin, m_u, m_v, m_w;
};

namespace QelSDK::Math {
// Euclidean distance from p to the triangle (a, b, c); degenerate triangles
// fall back to the nearest of their edges.  `closest`, when given, receives
// the nearest point of the triangle.
double point_to_triangle_distance(const MMVector3d& p, const MMVector3d& a, const MMVector3d& b,
                                  const MMVector3d& c, MMVector3d* closest = nullptr);
}  // namespace QelSDK::Math
