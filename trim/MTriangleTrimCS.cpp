#include "MTriangleTrimCS.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

using i128 = __int128;

// ---------------------------------------------------------------------------
// Exact sign of a sum of products of doubles.

struct TwoTerms {
    double hi, lo;
};

// hi + lo = x·y exactly (fma gives the rounding error of the product).
TwoTerms TwoProduct(double x, double y) {
    const double p = x * y;
    return {p, std::fma(x, y, -p)};
}

// hi + lo = x + y exactly.
TwoTerms TwoSum(double x, double y) {
    const double s = x + y;
    const double bv = s - x;
    const double av = s - bv;
    return {s, (x - av) + (y - bv)};
}

int SignOf(double v) { return v > 0.0 ? 1 : v < 0.0 ? -1 : 0; }

// Sign of the exact sum of `n` doubles: the terms are folded into a
// non-overlapping expansion of increasing magnitude, whose last non-zero
// component carries the sign of the sum.
int ExactSumSign(const double* terms, int n) {
    double expansion[16];
    int size = 0;
    for (int i = 0; i < n; ++i) {
        double q = terms[i];
        for (int j = 0; j < size; ++j) {
            const TwoTerms s = TwoSum(q, expansion[j]);
            expansion[j] = s.lo;
            q = s.hi;
        }
        expansion[size++] = q;
    }
    for (int j = size - 1; j >= 0; --j)
        if (expansion[j] != 0.0) return SignOf(expansion[j]);
    return 0;
}

// Sign of x0·y0 + x1·y1 + x2·y2, exact for finite values.  The plain sum
// decides when it is clear of its rounding error bound.
int SignOfDot3(double x0, double y0, double x1, double y1, double x2, double y2) {
    const double p0 = x0 * y0, p1 = x1 * y1, p2 = x2 * y2;
    const double sum = p0 + p1 + p2;
    const double bound = (std::fabs(p0) + std::fabs(p1) + std::fabs(p2)) * 4.0 * std::numeric_limits<double>::epsilon();
    if (std::fabs(sum) > bound) return SignOf(sum);
    const TwoTerms t0 = TwoProduct(x0, y0), t1 = TwoProduct(x1, y1), t2 = TwoProduct(x2, y2);
    const double terms[6] = {t0.lo, t1.lo, t2.lo, t0.hi, t1.hi, t2.hi};
    return ExactSumSign(terms, 6);
}

bool ProductsEqual(double x0, double y0, double x1, double y1) {
    // Round-to-nearest is a function of the exact value, so equal products
    // give equal (hi, lo) pairs.
    const TwoTerms p = TwoProduct(x0, y0), q = TwoProduct(x1, y1);
    return p.hi == q.hi && p.lo == q.lo;
}

// ---------------------------------------------------------------------------
// Exact integer vectors.  System vectors hold whole numbers below 2^33.

struct IVec {
    int64_t x, y, z;
};

IVec ToIVec(const MMVector3d& v) { return {int64_t(v[0]), int64_t(v[1]), int64_t(v[2])}; }
IVec ToIVec(const MMVector3l& v) { return {int64_t(v[0]), int64_t(v[1]), int64_t(v[2])}; }
IVec Sub(const IVec& p, const IVec& q) { return {p.x - q.x, p.y - q.y, p.z - q.z}; }

i128 Cross2(int64_t ax, int64_t ay, int64_t bx, int64_t by) { return i128(ax) * by - i128(ay) * bx; }

// det[X, Y, Z] = X · (Y × Z); below 2^102 for entries below 2^34.
i128 Det3(const IVec& X, const IVec& Y, const IVec& Z) {
    return i128(X.x) * Cross2(Y.y, Y.z, Z.y, Z.z) + i128(X.y) * Cross2(Y.z, Y.x, Z.z, Z.x) +
           i128(X.z) * Cross2(Y.x, Y.y, Z.x, Z.y);
}

i128 Abs(i128 v) { return v < 0 ? -v : v; }
int SignOf(i128 v) { return v > 0 ? 1 : v < 0 ? -1 : 0; }

// Inputs given as long must stay in this range for the 128-bit evaluation.
constexpr int64_t kExactInputLimit = int64_t(1) << 33;
bool InExactRange(long v) { return v >= -kExactInputLimit && v <= kExactInputLimit; }

int32_t TruncateToInt32(double v, int32_t fallback) {
    if (std::isnan(v)) return fallback;
    const double t = std::trunc(v);
    if (t <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (t >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return int32_t(t);
}

}  // namespace

// ---------------------------------------------------------------------------
// MTriangleTrimLine

const MTriangleTrimLine MTriangleTrimCS::axis_line[3] = {
    [] { MTriangleTrimLine l; l.Set(1.0, 0.0, 0.0); return l; }(),
    [] { MTriangleTrimLine l; l.Set(-1.0, -1.0, -1.0); return l; }(),
    [] { MTriangleTrimLine l; l.Set(0.0, 1.0, 0.0); return l; }(),
};

MTriangleTrimLine::MTriangleTrimLine(unsigned char axis) { *this = axis; }

MTriangleTrimLine& MTriangleTrimLine::operator=(unsigned char axis) {
    if (axis <= 2) *this = MTriangleTrimCS::axis_line[axis];
    return *this;
}

void MTriangleTrimLine::SetAxisLine(unsigned char axis) {
    if (axis > 2) return;
    m_a = MTriangleTrimCS::axis_line[axis].m_a;
    m_b = MTriangleTrimCS::axis_line[axis].m_b;
}

double MTriangleTrimLine::Angle024(const MTriangleTrimLine& other) const {
    const double len1 = std::hypot(m_a, m_b);
    const double len2 = std::hypot(other.m_a, other.m_b);
    if (len1 == 0.0 || len2 == 0.0) return 0.0;
    double c = (m_b * other.m_b + m_a * other.m_a) / (len1 * len2);
    c = std::fmax(-1.0, std::fmin(1.0, c));
    // k = A2·B1 − A1·B2, sign taken exactly.
    const int k = SignOfDot3(other.m_a, m_b, -m_a, other.m_b, 0.0, 0.0);
    return k > 0 ? 1.0 + c : 3.0 - c;
}

// ---------------------------------------------------------------------------
// MTriangleTrimCS

void MTriangleTrimCS::_Build(const MMVector3l& p0, const MMVector3l& p1, const MMVector3l& p2) {
    m_vertices[0] = p0;
    m_vertices[1] = p1;
    m_vertices[2] = p2;
    m_origin = MMVector3d(p0);
    m_u = MMVector3d(p2) - m_origin;
    m_v = MMVector3d(p1) - m_origin;
    const MMVector3d normal = m_v.Cross(m_u);  // (P1 − P0) × (P2 − P0)
    m_plane.Set(normal, m_origin);
}

namespace {
MMVector3l ReadVertex(const MStlPoint* p, const MMTransformMatrix* transform) {
    MMVector3l out;
    if (!p) return out;
    if (!transform) {
        p->Get(out);
        return out;
    }
    MMVector3d v;
    p->Get(v);
    MMTransform(*transform).Transform(v, false);
    for (int i = 0; i < 3; ++i) out[i] = TruncateToInt32(v[i], 0);
    return out;
}
}  // namespace

void MTriangleTrimCS::SetTriangle(MStlPoint* p0, MStlPoint* p1, MStlPoint* p2, const MMTransformMatrix* transform) {
    _Build(ReadVertex(p0, transform), ReadVertex(p1, transform), ReadVertex(p2, transform));
}

void MTriangleTrimCS::SetTriangle(DLIST_ELEMENT<MStlTriangle>* element, const MMTransformMatrix* transform) {
    if (!element) return;
    SetTriangle(element->GetPoint(0), element->GetPoint(1), element->GetPoint(2), transform);
    m_element = element;
}

void MTriangleTrimCS::SetTriangle(MStlTriangle* triangle, const MMTransformMatrix* transform) {
    if (!triangle) return;
    SetTriangle(triangle->GetPoint(0), triangle->GetPoint(1), triangle->GetPoint(2), transform);
}

bool MTriangleTrimCS::IsDegenerate() const {
    const IVec u = ToIVec(m_u), v = ToIVec(m_v);
    return Cross2(u.y, u.z, v.y, v.z) == 0 && Cross2(u.z, u.x, v.z, v.x) == 0 && Cross2(u.x, u.y, v.x, v.y) == 0;
}

// ---------------------------------------------------------------------------
// MTriangleTrimPosition: tests

bool MTriangleTrimPosition::operator==(const MTriangleTrimPosition& other) const {
    return ProductsEqual(m_a, other.m_w, other.m_a, m_w) && ProductsEqual(m_b, other.m_w, other.m_b, m_w);
}

double MTriangleTrimPosition::DISTANCE_TO_LINE(const MTriangleTrimLine& line) const {
    return line.GetA() * m_a + line.GetB() * m_b - line.GetC() * m_w;
}

unsigned char MTriangleTrimPosition::POSITION_TO_LINE(const MTriangleTrimLine& line) const {
    const int s = SignOfDot3(line.GetA(), m_a, line.GetB(), m_b, -line.GetC(), m_w);
    return s > 0 ? kInside : s < 0 ? kOutside : kOnLine;
}

unsigned char MTriangleTrimPosition::POSITION_TO_AXIS(unsigned char axis) const {
    if (axis > 2) return kOutside;
    return POSITION_TO_LINE(MTriangleTrimCS::axis_line[axis]);
}

unsigned char MTriangleTrimPosition::POSITION_TO_SYSTEM() const {
    unsigned char side[3];
    for (unsigned char i = 0; i < 3; ++i) side[i] = POSITION_TO_AXIS(i);
    for (unsigned char i = 0; i < 3; ++i)
        if (side[i] == kOutside) return kOutside;
    for (unsigned char i = 0; i < 3; ++i)
        if (side[i] == kOnLine) return i;
    return kInside;
}

// ---------------------------------------------------------------------------
// MTriangleTrimPosition: world coordinates and mesh points

double MTriangleTrimPosition::X(MTriangleTrimCS& cs) const {
    return cs.GetOrigin()[0] + (m_a * cs.GetU()[0] + m_b * cs.GetV()[0]) / m_w;
}
double MTriangleTrimPosition::Y(MTriangleTrimCS& cs) const {
    return cs.GetOrigin()[1] + (m_a * cs.GetU()[1] + m_b * cs.GetV()[1]) / m_w;
}
double MTriangleTrimPosition::Z(MTriangleTrimCS& cs) const {
    return cs.GetOrigin()[2] + (m_a * cs.GetU()[2] + m_b * cs.GetV()[2]) / m_w;
}

void MTriangleTrimPosition::CALCULATE_XYZ(MTriangleTrimCS& cs) {
    if (m_w == 0.0) return;  // no point; keep the last one
    m_x = TruncateToInt32(X(cs), m_x);
    m_y = TruncateToInt32(Y(cs), m_y);
    m_z = TruncateToInt32(Z(cs), m_z);
}

void MTriangleTrimPosition::AddPoint(MStlBase* mesh) {
    if (!mesh && m_cs && m_cs->GetTriangleElement()) mesh = m_cs->GetTriangleElement()->GetStl();
    if (!mesh) return;
    m_point = mesh->AddPoint(m_x, m_y, m_z, false);
}

void MTriangleTrimPosition::_Finish() {
    if (m_w == 0.0 || !m_cs) {
        m_code = kOutside;
        return;
    }
    CALCULATE_XYZ(*m_cs);
    m_code = POSITION_TO_SYSTEM();
}

// Rounds the exact (a, b, w) to doubles so that a, b, w and c = w − a − b keep
// their signs (and zeros) on the stored values.  Rounding to nearest is
// monotone, so a, b and w keep theirs; c is repaired by moving w one unit in
// the last place at a time.  For c = 0 one of the three is derived from the
// other two when that difference is exact, which Sterbenz's lemma assures for
// points on the closed edge P1–P2.
void MTriangleTrimPosition::_StoreExact(i128 a, i128 b, i128 w) {
    if (w < 0) {
        a = -a;
        b = -b;
        w = -w;
    }
    const i128 c = w - a - b;
    double da = double(a), db = double(b), dw = double(w);
    if (c == 0) {
        const TwoTerms bFromW = TwoSum(dw, -da);
        const TwoTerms aFromW = TwoSum(dw, -db);
        const TwoTerms wFromAB = TwoSum(da, db);
        if (bFromW.lo == 0.0 && SignOf(bFromW.hi) == SignOf(b)) db = bFromW.hi;
        else if (aFromW.lo == 0.0 && SignOf(aFromW.hi) == SignOf(a)) da = aFromW.hi;
        else if (wFromAB.lo == 0.0 && wFromAB.hi > 0.0) dw = wFromAB.hi;
    } else {
        const int want = SignOf(c);
        for (int step = 0; step < 8; ++step) {
            const double terms[3] = {dw, -da, -db};
            if (ExactSumSign(terms, 3) == want) break;
            const double next = std::nextafter(dw, want > 0 ? std::numeric_limits<double>::infinity() : 0.0);
            if (!(next > 0.0)) break;
            dw = next;
        }
    }
    m_a = da;
    m_b = db;
    m_w = dw;
    _Finish();
}

// ---------------------------------------------------------------------------
// MTriangleTrimPosition: calculations

void MTriangleTrimPosition::CalculateAsOffsetOnAxis(unsigned char axis, double offset, double length) {
    switch (axis) {
    case 0: m_a = 0.0; m_b = offset; m_w = length; break;
    case 1: m_a = offset; m_b = length - offset; m_w = length; break;
    case 2: m_a = length - offset; m_b = 0.0; m_w = length; break;
    default: return;
    }
    m_code = axis;
    if (m_cs) CALCULATE_XYZ(*m_cs);
}

void MTriangleTrimPosition::CalculateAsExactOffsetOnAxis(unsigned char axis, i128 offset, i128 length) {
    switch (axis) {
    case 0: _StoreExact(0, offset, length); break;
    case 1: _StoreExact(offset, length - offset, length); break;
    case 2: _StoreExact(length - offset, 0, length); break;
    default: return;
    }
    m_code = axis;
}

void MTriangleTrimPosition::CalculateOnAxis(char axis, double d1, double d2) {
    const double first = std::fabs(d1);
    CalculateAsOffsetOnAxis(static_cast<unsigned char>(axis), first, first + std::fabs(d2));
}

void MTriangleTrimPosition::SetEndPointOfAxis(unsigned char axis, MStlTriangle& triangle) {
    int corner;
    switch (axis) {
    case 0: m_a = 0.0; m_b = 1.0; corner = 1; break;
    case 1: m_a = 1.0; m_b = 0.0; corner = 2; break;
    case 2: m_a = 0.0; m_b = 0.0; corner = 0; break;
    default: return;
    }
    m_w = 1.0;
    m_code = static_cast<unsigned char>(corner);
    m_point = triangle.GetPoint(corner);
    if (m_point) {
        m_x = m_point->GetX();
        m_y = m_point->GetY();
        m_z = m_point->GetZ();
    }
}

void MTriangleTrimPosition::CalculatePositionOfPoint(const MStlPoint* point) {
    if (!m_cs || !point) return;
    const IVec u = ToIVec(m_cs->GetU()), v = ToIVec(m_cs->GetV());
    const IVec r = Sub(IVec{point->GetX(), point->GetY(), point->GetZ()}, ToIVec(m_cs->GetVertex(0)));
    const i128 nx = Abs(Cross2(u.y, u.z, v.y, v.z));
    const i128 ny = Abs(Cross2(u.z, u.x, v.z, v.x));
    const i128 nz = Abs(Cross2(u.x, u.y, v.x, v.y));
    // The largest normal component picks the plane; ties go to z, then x.
    if (nz != 0 && nz >= nx && nz >= ny)
        _StoreExact(Cross2(r.x, r.y, v.x, v.y), Cross2(u.x, u.y, r.x, r.y), Cross2(u.x, u.y, v.x, v.y));
    else if (nx != 0 && nx >= ny)
        _StoreExact(Cross2(r.y, r.z, v.y, v.z), Cross2(u.y, u.z, r.y, r.z), Cross2(u.y, u.z, v.y, v.z));
    else if (ny != 0)
        _StoreExact(Cross2(r.z, r.x, v.z, v.x), Cross2(u.z, u.x, r.z, r.x), Cross2(u.z, u.x, v.z, v.x));
    else
        m_code = kOutside;  // zero-area triangle: no projection
}

bool MTriangleTrimPosition::CalculatePositionOfPoint2d(long x, long y) {
    if (!m_cs) return false;
    const IVec u = ToIVec(m_cs->GetU()), v = ToIVec(m_cs->GetV());
    const i128 w = Cross2(u.x, u.y, v.x, v.y);
    m_w = double(w);
    if (w == 0) return false;
    if (!InExactRange(x) || !InExactRange(y)) return false;
    const int64_t rx = x - m_cs->GetVertex(0)[0], ry = y - m_cs->GetVertex(0)[1];
    _StoreExact(Cross2(rx, ry, v.x, v.y), Cross2(u.x, u.y, rx, ry), w);
    return true;
}

void MTriangleTrimPosition::CalculateIntersectionWithLine(const MStlPoint* p, const MStlPoint* q) {
    if (!m_cs || !p || !q) return;
    const IVec u = ToIVec(m_cs->GetU()), v = ToIVec(m_cs->GetV());
    const IVec r = Sub(IVec{p->GetX(), p->GetY(), p->GetZ()}, ToIVec(m_cs->GetVertex(0)));
    i128 a = 0, b = 0, w = 0;
    if (p == q) {
        // A 2-D solve r = αU + βV in the first plane with a solution.
        if ((w = Cross2(u.x, u.y, v.x, v.y)) != 0) {
            a = Cross2(r.x, r.y, v.x, v.y);
            b = Cross2(u.x, u.y, r.x, r.y);
        } else if ((w = Cross2(u.x, u.z, v.x, v.z)) != 0) {
            a = Cross2(r.x, r.z, v.x, v.z);
            b = Cross2(u.x, u.z, r.x, r.z);
        } else if ((w = Cross2(u.z, u.y, v.z, v.y)) != 0) {
            a = Cross2(r.z, r.y, v.z, v.y);
            b = Cross2(u.z, u.y, r.z, r.y);
        }
    } else {
        const IVec d = Sub(IVec{q->GetX(), q->GetY(), q->GetZ()}, IVec{p->GetX(), p->GetY(), p->GetZ()});
        w = Det3(u, v, d);
        a = Det3(r, v, d);
        b = Det3(u, r, d);
    }
    if (w == 0) {  // degenerate triangle, or a line parallel to the plane
        m_w = 0.0;
        m_code = kOutside;
        return;
    }
    if (w < 0) {
        a = -a;
        b = -b;
        w = -w;
    }
    if (a == w && b == 0) a = w = 1;             // exactly P2
    else if (b == w && a == 0) b = w = 1;        // exactly P1
    _StoreExact(a, b, w);
}

bool MTriangleTrimPosition::CalculateIntersectionOfAxisWithLine(char axis, MMVector3l& p, MMVector3l& q) {
    if (!m_cs || axis < 0 || axis > 2) return false;
    for (int i = 0; i < 3; ++i)
        if (!InExactRange(p[i]) || !InExactRange(q[i])) return false;
    const IVec u = ToIVec(m_cs->GetU()), v = ToIVec(m_cs->GetV());
    const IVec pi = ToIVec(p);
    const IVec d = Sub(ToIVec(q), pi);
    const int start = axis == 0 ? 0 : axis == 1 ? 1 : 2;
    const IVec s = ToIVec(m_cs->GetVertex(start));
    const IVec e = axis == 0 ? v : axis == 1 ? Sub(u, v) : IVec{-u.x, -u.y, -u.z};
    const IVec r = Sub(s, pi);
    i128 den, sNum, tNum;
    if ((den = Cross2(e.x, e.y, d.x, d.y)) != 0) {
        sNum = Cross2(e.x, e.y, r.x, r.y);
        tNum = Cross2(d.x, d.y, r.x, r.y);
    } else if ((den = Cross2(e.y, e.z, d.y, d.z)) != 0) {
        sNum = Cross2(e.y, e.z, r.y, r.z);
        tNum = Cross2(d.y, d.z, r.y, r.z);
    } else if ((den = Cross2(e.z, e.x, d.z, d.x)) != 0) {
        sNum = Cross2(e.z, e.x, r.z, r.x);
        tNum = Cross2(d.z, d.x, r.z, r.x);
    } else {
        return false;  // parallel
    }
    if (den < 0) {
        den = -den;
        sNum = -sNum;
        tNum = -tNum;
    }
    if (sNum < 0 || sNum > den || tNum < 0 || tNum > den) return false;
    switch (axis) {
    case 0: _StoreExact(0, tNum, den); break;
    case 1: _StoreExact(tNum, den - tNum, den); break;
    default: _StoreExact(den - tNum, 0, den); break;
    }
    return true;
}

void MTriangleTrimPosition::CalculateIntersectionOfAxisWithLine2d(char axis, long px, long py, long dx, long dy) {
    if (!m_cs || axis < 0 || axis > 2) return;
    if (!InExactRange(px) || !InExactRange(py) || !InExactRange(dx) || !InExactRange(dy)) {
        m_code = kOutside;
        return;
    }
    const IVec u = ToIVec(m_cs->GetU()), v = ToIVec(m_cs->GetV());
    const int start = axis == 0 ? 0 : axis == 1 ? 1 : 2;
    const IVec s = ToIVec(m_cs->GetVertex(start));
    const IVec e = axis == 0 ? v : axis == 1 ? Sub(u, v) : IVec{-u.x, -u.y, -u.z};
    // Cramer on the columns E and (−dx, −dy) with right-hand side P − S.
    const int64_t rx = px - s.x, ry = py - s.y;
    i128 det = Cross2(e.x, e.y, -dx, -dy);
    i128 t = Cross2(rx, ry, -dx, -dy);
    if (det == 0) {  // edge parallel to the line
        m_code = kOutside;
        return;
    }
    if (det < 0) {
        det = -det;
        t = -t;
    }
    switch (axis) {
    case 0: _StoreExact(0, t, det); break;
    case 1: _StoreExact(t, det - t, det); break;
    default: _StoreExact(det - t, 0, det); break;
    }
}

bool MTriangleTrimPosition::PASSES_SYSTEM(long* const point, long* const direction, double& numerator,
                                          double& denominator) {
    numerator = 0.0;
    denominator = 0.0;
    if (!m_cs || !point || !direction) return false;
    for (int i = 0; i < 3; ++i)
        if (!InExactRange(point[i]) || !InExactRange(direction[i])) return false;
    const IVec u = ToIVec(m_cs->GetU()), v = ToIVec(m_cs->GetV());
    const IVec r = Sub(IVec{point[0], point[1], point[2]}, ToIVec(m_cs->GetVertex(0)));
    const IVec d{direction[0], direction[1], direction[2]};
    i128 w = Det3(u, v, d), a = Det3(r, v, d), b = Det3(u, r, d), num = Det3(u, v, r);
    if (w < 0) {
        w = -w;
        a = -a;
        b = -b;
        num = -num;
    }
    numerator = double(num);
    denominator = double(w);
    if (w == 0) return false;  // parallel to the plane
    _StoreExact(a, b, w);
    return m_code != kOutside;
}
