// The depth cut (the profile cut between two heights, closed by flat caps)
// and the support cut (a block under the part inside the profile, its top
// following the part's underside).
#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "MCutter.h"
#include "cutter/MCutBorder.h"
#include "cutter/MCutEdge.h"
#include "cutter/MCutExact.h"
#include "host/MInternalUnits.h"

using meshcut_cut::TruncateToFinite;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

bool AtHeight(const MStlPoint* p, long z) { return p->GetZ() == z; }

}  // namespace

void MCutter::DIVIDE_AT_HEIGHT(long z) const {
    // Splitting a side splits every triangle on it, also ones looked at
    // already, which can keep another side across z: each split puts the
    // triangles round the new point back on the list.  Every split removes a
    // side that crosses z and adds none, so the list runs out.
    std::vector<MStlTriangleElement*> work;
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it)
        if (it->GetStatus() & kInside) work.push_back(*it);
    while (!work.empty()) {
        MStlTriangleElement* t = work.back();
        work.pop_back();
        if (!t->IsAlive() || !(t->GetStatus() & kInside)) continue;
        for (int i = 0; i < 3; ++i) {
            MStlPoint* a = t->GetPoint(i);
            MStlPoint* b = t->GetPoint((i + 1) % 3);
            const double za = a->GetZ(), zb = b->GetZ();
            if (!((za < z && z < zb) || (za > z && z > zb))) continue;
            const double f = (double(z) - za) / (zb - za);
            MStlPoint* n = m_working->AddPoint(TruncateToFinite(std::trunc((double(b->GetX()) - a->GetX()) * f) + a->GetX()),
                                               TruncateToFinite(std::trunc((double(b->GetY()) - a->GetY()) * f) + a->GetY()),
                                               int32_t(z), false);
            // A side the host does not split is passed over.
            if (m_working->InsertPointBetweenPoints(n, a, b) == 0) continue;
            for (uint32_t k = 0; k < n->GetNumberOfNeighbourTriangles(); ++k) work.push_back(n->GetNeighbourTriangle(k));
            break;
        }
    }
}

// The outline, at height z, of the part inside the profile within the cut
// limits (fill triangles included): the sides at z of its triangles that no
// other of its triangles runs back, each in its triangle's direction, chained
// into rings and split where a ring touches itself.  A side at z between two
// of its triangles is inside the part and no rim.  Returns false (and leaves
// the border empty) when the sides do not close into rings.
static bool MakeBorderAtHeight(MStlBase& mesh, MCutBorder& border, long z, uint8_t inside, uint8_t beyond) {
    border.Clear();
    auto usable = [&](const MStlTriangle* t) { return (t->GetStatus() & inside) && !(t->GetStatus() & beyond); };
    std::unordered_map<MStlPoint*, std::vector<MStlPoint*>> next;
    size_t sides = 0;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        if (!usable(*it)) continue;
        for (int i = 0; i < 3; ++i) {
            MStlPoint* a = it->GetPoint(i);
            MStlPoint* b = it->GetPoint((i + 1) % 3);
            if (!AtHeight(a, z) || !AtHeight(b, z)) continue;
            bool back = false;
            for (uint32_t k = 0; k < b->GetNumberOfNeighbourTriangles() && !back; ++k) {
                const MStlTriangleElement* n = b->GetNeighbourTriangle(k);
                back = usable(n) && n->GetPoint((n->IndexOfPoint(b) + 1) % 3) == a;
            }
            if (back) continue;
            next[a].push_back(b);
            ++sides;
        }
    }
    std::vector<std::vector<MStlPoint*>> rings;
    while (sides != 0) {
        auto first = std::find_if(next.begin(), next.end(), [](const auto& e) { return !e.second.empty(); });
        MStlPoint* const start = first->first;
        std::vector<MStlPoint*> ring;
        MStlPoint* current = start;
        do {
            auto& out = next[current];
            if (out.empty()) {
                border.Clear();
                return false;
            }
            ring.push_back(current);
            current = out.back();
            out.pop_back();
            --sides;
        } while (current != start);
        SplitIntoSimpleRings(ring, rings);
    }
    for (const auto& ring : rings) {
        auto* contour = border.AddContour();
        contour->SetClosed(true);
        for (MStlPoint* p : ring) contour->AddPoint(p->GetX(), p->GetY(), 0.0, p);
    }
    return true;
}

char MCutter::MAKE_DEPTH_CUT(ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.MAKE_DEPTH_CUT", 1000, false);
    _MakeCutAlongPolyline(true, reporter.CreateNestedDelegate(1.0));
    if (m_cancelled) return kCancelled;
    DIVIDE_AT_HEIGHT(m_lowerLimit);
    DIVIDE_AT_HEIGHT(m_upperLimit);
    DETERMINE_BELOW_AND_ABOVE();
    // The inside part's rim at a limit runs counter-clockwise seen from
    // above at its bottom and clockwise at its top.
    auto cap = [this](long z, bool upper) {
        MCutBorder border(m_working);
        border.SetMeshCoordinates(0, 1);
        if (!MakeBorderAtHeight(*m_working, border, z, kInside, kBelow | kAbove)) {
            ++m_unclosed;
            return;
        }
        if (!upper) border.ReverseContours();
        border.PrepareBorder();
        border.SplitLargeContours(m_fillParameter);
        std::vector<std::array<MStlPoint*, 3>> triangles;
        border.Triangulate(triangles);
        for (const auto& t : triangles) {
            // The triangles face down; the inside part's bottom cap keeps
            // that, its top cap is turned up, and the outside part takes
            // the reverse of each.
            MStlPoint* const down[3] = {t[0], t[1], t[2]};
            MStlPoint* const up[3] = {t[1], t[0], t[2]};
            if (m_inside)
                if (MStlTriangleElement* a = m_working->AddTriangle(upper ? up : down, nullptr)) a->SetStatus(kFill | kInside);
            if (m_outside)
                if (MStlTriangleElement* b = m_working->AddTriangle(upper ? down : up, nullptr)) b->SetStatus(kFill | kOutside);
        }
    };
    if (m_lowerLimit > kMinusInfinity) cap(m_lowerLimit, false);
    if (m_upperLimit < kPlusInfinity) cap(m_upperLimit, true);
    REMOVE_TRIANGLE_SETS();
    return kDone;
}

MMVector<double, 3> MCutter::_GetNormalOfPoint(MStlPoint* point) {
    MMVector3d sum(0.0, 0.0, 0.0);
    const double shortest = 0.1 * QelSDK::Common::MInternalUnits::Get();
    const MMVector3d at = point->GetVector();
    for (uint32_t k = 0; k < point->GetNumberOfNeighbourTriangles(); ++k) {
        MStlTriangleElement* t = point->GetNeighbourTriangle(k);
        if (!(t->GetStatus() & kInside) || (t->GetStatus() & kFill)) continue;
        const int i = t->IndexOfPoint(point);
        MMVector3d a = t->GetPoint((i + 1) % 3)->GetVector() - at;
        MMVector3d b = t->GetPoint((i + 2) % 3)->GetVector() - at;
        if (a.Length() < shortest || b.Length() < shortest) continue;
        a = a / a.Length();
        b = b / b.Length();
        const double angle = std::acos(std::clamp(a.Dot(b), -1.0, 1.0));
        sum = sum + t->GetNormal() * angle;
    }
    const double length = sum.Length();
    return length > 0.0 ? sum / length : MMVector3d(0.0, 0.0, 0.0);
}

char MCutter::MAKE_SUPPORT_CUT(long baseZ, long downOffset, long upOffset, double slopeFactor, double maxSlope,
                               ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.MAKE_SUPPORT_CUT", 1000, false);
    REPLACE_MAX_COORDINATES();
    char r = _CreateEdgeList(false, reporter.CreateNestedDelegate(0.5));
    if (r != 0) return r;
    m_working->UpdateExtremes();
    const double unit = QelSDK::Common::MInternalUnits::Get();
    const int32_t x0 = TruncateToFinite(m_working->GetXMin() - unit), x1 = TruncateToFinite(m_working->GetXMax() + unit);
    const int32_t y0 = TruncateToFinite(m_working->GetYMin() - unit), y1 = TruncateToFinite(m_working->GetYMax() + unit);
    const int32_t z1 = TruncateToFinite(m_working->GetZMax() + unit);
    const int32_t zb = m_working->GetZMin() < baseZ ? TruncateToFinite(m_working->GetZMin() - unit)
                                                    : TruncateToFinite(double(baseZ));
    m_working->Invert();
    MStlPoint* A = m_working->AddPoint(x0, y0, zb, false);
    MStlPoint* B = m_working->AddPoint(x0, y1, zb, false);
    MStlPoint* C = m_working->AddPoint(x1, y0, zb, false);
    MStlPoint* D = m_working->AddPoint(x1, y1, zb, false);
    MStlPoint* E = m_working->AddPoint(x0, y0, z1, false);
    MStlPoint* F = m_working->AddPoint(x0, y1, z1, false);
    MStlPoint* G = m_working->AddPoint(x1, y0, z1, false);
    MStlPoint* H = m_working->AddPoint(x1, y1, z1, false);
    MStlPoint* const faces[12][3] = {{A, B, C}, {D, C, B}, {F, E, G}, {F, G, H}, {B, A, E}, {B, E, F},
                                     {C, D, G}, {G, D, H}, {A, C, E}, {E, C, G}, {B, F, D}, {D, F, H}};
    for (const auto& f : faces) m_working->AddTriangle(f[0], f[1], f[2], nullptr);
    _MarkUpperAndLowerTriangles();

    r = _MakeCutAlongPolyline(true, reporter.CreateNestedDelegate(0.5));
    if (r != 0) {
        if (m_ownsWorking) m_working->ClearStl(true);
        return r;
    }
    m_working->RemoveTrianglesIf([](const MStlTriangle& t) { return (t.GetStatus() & kOutside) != 0; });
    // Only the pieces joined to a marked triangle stay.
    std::vector<MStlTriangleElement*> queue;
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it)
        if (it->IsMarked()) queue.push_back(*it);
    while (!queue.empty()) {
        MStlTriangleElement* t = queue.back();
        queue.pop_back();
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* p = t->GetPoint(i);
            const MStlPoint* q = t->GetPoint((i + 1) % 3);
            MStlTriangleElement* across = nullptr;
            int count = 0;
            for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
                MStlTriangleElement* n = p->GetNeighbourTriangle(k);
                if (n != t && n->IndexOfPoint(q) >= 0) across = n, ++count;
            }
            if (count == 1 && !across->IsMarked()) {
                across->Mark();
                queue.push_back(across);
            }
        }
    }
    m_working->RemoveTrianglesIf([](const MStlTriangle& t) { return !t.IsMarked(); });
    m_working->RemoveFreePoints();

    // How far each point moves: down off the part's upward faces (more on
    // steep ones), up under its downward faces, so the block keeps a gap.
    std::vector<std::pair<MStlPoint*, long>> moves;
    for (auto it = m_working->BeginPoint(); it != m_working->EndPoint(); ++it) {
        MStlPoint* p = *it;
        int up = 0, down = 0;
        for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
            const MStlTriangleElement* t = p->GetNeighbourTriangle(k);
            if (!(t->GetStatus() & kInside) || (t->GetStatus() & kFill)) continue;
            if (t->GetFacing() == 2) ++up;
            else if (t->GetFacing() == 1) ++down;
        }
        long value = 0;
        if (up > 0 && down == 0 && upOffset != 0) {
            value = -upOffset;
            if (slopeFactor != 0.0) {
                const MMVector3d n = _GetNormalOfPoint(p);
                if (n.Length() == 0.0) continue;
                const double theta = std::acos(std::clamp(n[2], -1.0, 1.0));
                const double extra = std::min(maxSlope, theta) * slopeFactor * 180.0 / M_PI;
                value = long(std::clamp(double(value) - std::trunc(extra), -4294967294.0, 4294967294.0));
            }
        } else if (down > 0 && up == 0 && p->GetZ() != baseZ && downOffset != 0) {
            value = downOffset;
        }
        if (value != 0) moves.emplace_back(p, value);
    }
    for (const auto& [p, value] : moves) {
        MStlPoint* moved = m_working->AddPoint(p->GetX(), p->GetY(), TruncateToFinite(double(p->GetZ()) + double(value)), false);
        if (moved != p) m_working->ReplacePointByPoint(p, moved);
    }
    return kDone;
}
