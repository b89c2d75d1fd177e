// The boolean operator on groups of surfaces: the trimming engine cuts the
// groups along each other; side labels, folds and exact point-in-solid
// tests classify.
#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>

#include "MTriangleTrimIntersection.h"
#include "MTriangleTrimIntersectionCalculator.h"
#include "MTriangleTrimRetriangulator.h"
#include "host/MBoolean.h"
#include "host/MPointInsideModelChecker.h"
#include "host/MStlChecker.h"
#include "trim/MTrimCandidates.h"

namespace QelSDK::Triangles::Boolean {
namespace {

using Common::IncrementalProgressReporter;
using Common::ProgressPtr;
using EClass = MrtGroupManager::EClass;

const char* const kProgressName = "QelStlBoolean.MrtOperatorBoolean.Operate";

// Side labels the retriangulator leaves in the status of the pieces.
enum ELabel : uint8_t { kUncut = 0, kBelow = 1, kAbove = 2, kSame = 3, kOpposite = 4, kReplaced = 5 };

struct Membership {
    int group;  // 0 or 1 (the manager's 1 or 2)
    bool classify;
    bool reverse;
};

class Groups {
public:
    // False for a surface that is missing, in neither group or in both.
    bool Load(const MrtGroupManager& manager) {
        for (const MrtGroupManager::Member& m : manager.GetMembers()) {
            if (!m.surface || (m.group != 1 && m.group != 2)) return false;
            auto [it, fresh] = m_of.try_emplace(m.surface, Membership{m.group - 1, m.classify, m.reverse});
            if (!fresh && it->second.group != m.group - 1) return false;
            it->second.classify = it->second.classify || m.classify;
            if (fresh && std::find(m_meshes.begin(), m_meshes.end(), m.surface->GetStl()) == m_meshes.end())
                m_meshes.push_back(m.surface->GetStl());
        }
        return true;
    }
    const Membership* Of(const MStlTriangle* t) const {
        auto it = m_of.find(t->GetSurface());
        return it == m_of.end() ? nullptr : &it->second;
    }
    bool Reversed(const MStlTriangle* t) const {
        const Membership* m = Of(t);
        return m && m->reverse;
    }
    // The triangles of group g now, or only those of its classified surfaces.
    std::vector<MStlTriangleElement*> Triangles(int g, bool classifiedOnly) const {
        std::vector<MStlTriangleElement*> out;
        for (const MStlBase* mesh : m_meshes)
            for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it) {
                const Membership* m = Of(*it);
                if (m && m->group == g && (m->classify || !classifiedOnly)) out.push_back(*it);
            }
        return out;
    }
    void InvertReversed() const {
        for (const MStlBase* mesh : m_meshes)
            for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it)
                if (Reversed(*it)) it->Invert();
    }

private:
    absl::flat_hash_map<const MStlSurface*, Membership> m_of;
    std::vector<MStlBase*> m_meshes;
};

// A group's surface as it was before the cut, for point-in-solid tests: its
// corners are kept, and the test is built on first use.
class Solid {
public:
    void Capture(const std::vector<MStlTriangleElement*>& triangles, const Groups& groups) {
        m_corners.reserve(triangles.size());
        for (const MStlTriangle* t : triangles) {
            std::array<int32_t, 9> c;
            const bool reversed = groups.Reversed(t);
            for (int i = 0; i < 3; ++i)
                for (int k = 0; k < 3; ++k) c[size_t(3 * i + k)] = t->GetPoint(reversed ? (3 - i) % 3 : i)->Get(k);
            m_corners.push_back(c);
        }
    }
    bool IsSolid() {
        if (m_built) return m_solid;
        m_built = true;
        MStlBase mesh;
        for (const auto& c : m_corners)
            mesh.AddTriangle(mesh.AddPoint(c[0], c[1], c[2]), mesh.AddPoint(c[3], c[4], c[5]), mesh.AddPoint(c[6], c[7], c[8]));
        const MeshReport report = CheckMesh(mesh);
        m_solid = report.closed && report.oriented && report.degenerateTriangles == 0 && report.volume != 0.0 &&
                  m_checker.Preprocess(mesh);
        m_insideOut = report.volume < 0.0;
        return m_solid;
    }
    // For a solid: where the point lies.
    EClass Locate(const MMVector3d& p) const {
        switch (m_checker.QueryPoint(p[0], p[1], p[2])) {
        case MPointInsideModelChecker::eInside: return m_insideOut ? MrtGroupManager::eOutside : MrtGroupManager::eInside;
        case MPointInsideModelChecker::eOutside: return m_insideOut ? MrtGroupManager::eInside : MrtGroupManager::eOutside;
        default: return MrtGroupManager::eNeither;
        }
    }

private:
    std::vector<std::array<int32_t, 9>> m_corners;
    bool m_built = false, m_solid = false, m_insideOut = false;
    MPointInsideModelChecker m_checker;
};

// Cuts the triangles of group 0 and group 1 along each other; the pieces of
// classified surfaces carry their side labels.  False when cancelled.
bool Cut(const Groups& groups, IncrementalProgressReporter& reporter) {
    std::array<std::vector<MStlTriangleElement*>, 2> triangles = {groups.Triangles(0, false), groups.Triangles(1, false)};
    for (const auto& list : triangles)
        for (MStlTriangleElement* t : list) t->SetStatus(kUncut);
    std::vector<MTrimBox> boxes(triangles[1].size());
    for (size_t j = 0; j < boxes.size(); ++j) boxes[j] = MTrimBox::Of(*triangles[1][j]);
    const MTrimBoxGrid grid(boxes);
    std::array<std::vector<MTriangleTrimElement>, 2> elements = {
        std::vector<MTriangleTrimElement>(triangles[0].size()), std::vector<MTriangleTrimElement>(triangles[1].size())};
    auto infoOf = [&](int g, uint32_t i) -> MTriangleTrimInfo& {
        MTriangleTrimElement& e = elements[size_t(g)][i];
        if (!e.GetTrimInfo()) {
            e.SetTriangle(triangles[size_t(g)][i], nullptr);
            e.ActivateTrimInfo();
        }
        return *e.GetTrimInfo();
    };
    {
        IncrementalProgressReporter step(reporter.CreateNestedDelegate(0.6), kProgressName, triangles[0].size());
        MTriangleTrimIntersectionCalculator calculator;
        std::vector<uint32_t> near;
        for (uint32_t i = 0; i < triangles[0].size(); ++i) {
            if ((i & 1023u) == 0 && step.IsCancelled()) return false;
            near.clear();
            grid.ForEachMeeting(MTrimBox::Of(*triangles[0][i]), [&](uint32_t j) { near.push_back(j); });
            std::sort(near.begin(), near.end());
            for (uint32_t j : near)
                if (MTrimPairMayCross(*triangles[0][i], *triangles[1][j])) calculator.CALCULATE(infoOf(0, i), infoOf(1, j));
            ++step;
        }
    }
    IncrementalProgressReporter step(reporter.CreateNestedDelegate(0.2), kProgressName,
                                     elements[0].size() + elements[1].size());
    MTriangleTrimRetriangulator retriangulator;
    retriangulator.SetTriangulationStatus(kBelow, kAbove, kSame, kOpposite, kReplaced);
    for (int g = 0; g < 2; ++g)
        for (MTriangleTrimElement& e : elements[size_t(g)]) {
            if (step.IsCancelled()) return false;
            ++step;
            MTriangleTrimInfo* info = e.GetTrimInfo();
            if (!info || !groups.Of(e.GetTriangle())->classify) continue;
            MStlTriangleElement* t = e.GetTriangle();
            if (retriangulator.CreateNewTriangles(*info, uint8_t(g))) t->GetStl()->RemoveTriangle(t);
            e.DisactivateTrimInfo();
        }
    return true;
}

// Which way a triangle uncut by the other group lies from the other group's
// triangles on its edge p–q, through its third corner r: +1 inside, −1
// outside, 0 undecided.  One triangle on the edge decides by its plane; two
// that form a fold (running the edge opposite ways) by the wedge they bound.
int FoldVote(const std::vector<const MStlTriangle*>& on, const MStlPoint* p, const MStlPoint* q, const MStlPoint& r,
             const Groups& groups) {
    auto side = [&](const MStlTriangle* c, const MStlPoint& x) { return MTrimSide(*c, x) * (groups.Reversed(c) ? -1 : 1); };
    auto runsForward = [&](const MStlTriangle* c) {
        const bool forward = c->GetPoint((c->IndexOfPoint(p) + 1) % 3) == q;
        return forward != groups.Reversed(c);
    };
    if (on.size() == 1) {
        const int s = side(on[0], r);
        return s < 0 ? 1 : s > 0 ? -1 : 0;
    }
    if (on.size() != 2 || runsForward(on[0]) == runsForward(on[1])) return 0;
    const int s0 = side(on[0], r), s1 = side(on[1], r);
    if (s0 == 0 || s1 == 0) return 0;
    const MStlPoint* w = on[1]->GetPoint(3 - on[1]->IndexOfPoint(p) - on[1]->IndexOfPoint(q));
    const int fold = side(on[0], *w);
    if (fold < 0) return s0 < 0 && s1 < 0 ? 1 : -1;  // convex: inside is where both agree
    if (fold > 0) return s0 > 0 && s1 > 0 ? -1 : 1;  // reflex: outside is where both agree
    return s0 < 0 ? 1 : -1;
}

// Classifies the triangles of group g's classified surfaces against the
// other group.  False when cancelled.
bool Classify(int g, const Groups& groups, Solid& otherSolid, MrtGroupManager& manager,
              IncrementalProgressReporter& reporter) {
    const std::vector<MStlTriangleElement*> mine = groups.Triangles(g, true);
    IncrementalProgressReporter step(reporter.CreateNestedDelegate(0.1), kProgressName, mine.size());
    absl::flat_hash_map<const MStlTriangle*, uint32_t> index;
    index.reserve(mine.size());
    std::vector<EClass> classes(mine.size(), MrtGroupManager::eNeither);
    std::vector<uint8_t> known(mine.size(), 1);
    for (uint32_t i = 0; i < mine.size(); ++i) {
        index.emplace(mine[i], i);
        const uint8_t label = mine[i]->GetStatus();
        classes[i] = label == kBelow ? MrtGroupManager::eInside : label == kAbove ? MrtGroupManager::eOutside
                                                                                 : MrtGroupManager::eNeither;
        known[i] = label != kUncut;
    }
    // Uncut triangles in connected parts, each with the sides it borders.
    std::vector<uint8_t> seen(mine.size(), 0);
    std::vector<uint32_t> part;
    std::deque<uint32_t> queue;
    std::vector<const MStlTriangle*> cutters;
    for (uint32_t start = 0; start < mine.size(); ++start) {
        if (known[start] || seen[start]) continue;
        if ((start & 255u) == 0 && step.IsCancelled()) return false;
        int inside = 0, outside = 0;
        part.clear();
        queue.assign(1, start);
        seen[start] = 1;
        while (!queue.empty()) {
            const uint32_t i = queue.front();
            queue.pop_front();
            part.push_back(i);
            const MStlTriangle* t = mine[i];
            for (int k = 0; k < 3; ++k) {
                MStlPoint* p = t->GetPoint(k);
                MStlPoint* q = t->GetPoint((k + 1) % 3);
                cutters.clear();
                const MStlTriangle* neighbour = nullptr;
                int neighbours = 0;
                for (uint32_t n = 0; n < p->GetNumberOfNeighbourTriangles(); ++n) {
                    const MStlTriangle* u = p->GetNeighbourTriangle(n);
                    if (u == t || u->IndexOfPoint(q) < 0) continue;
                    const Membership* m = groups.Of(u);
                    if (m && m->group != g) cutters.push_back(u);
                    else if (index.contains(u)) neighbour = u, ++neighbours;
                }
                if (!cutters.empty()) {
                    const int vote = FoldVote(cutters, p, q, *t->GetPoint((k + 2) % 3), groups);
                    inside += vote > 0;
                    outside += vote < 0;
                    continue;
                }
                if (neighbours != 1) continue;
                const uint32_t j = index.at(neighbour);
                if (known[j]) {
                    inside += classes[j] == MrtGroupManager::eInside;
                    outside += classes[j] == MrtGroupManager::eOutside;
                } else if (!seen[j]) {
                    seen[j] = 1;
                    queue.push_back(j);
                }
            }
        }
        if ((inside > 0) != (outside > 0)) {
            for (uint32_t i : part) classes[i] = inside > 0 ? MrtGroupManager::eInside : MrtGroupManager::eOutside;
        } else if (otherSolid.IsSolid()) {
            // Nothing learnt: the first triangle off the other surface
            // decides for all.  Both sides learnt (a cut that could not be
            // made): each triangle for itself.
            const bool learnt = inside > 0;
            for (uint32_t i : part) {
                const MStlTriangle* t = mine[i];
                classes[i] = otherSolid.Locate(
                    (t->GetPoint(0)->GetVector() + t->GetPoint(1)->GetVector() + t->GetPoint(2)->GetVector()) / 3.0);
                if (!learnt && classes[i] != MrtGroupManager::eNeither) {
                    for (uint32_t j : part) classes[j] = classes[i];
                    break;
                }
            }
        }
        step += part.size();
    }
    for (uint32_t i = 0; i < mine.size(); ++i) manager.SetClassification(mine[i], classes[i]);
    return true;
}

}  // namespace

EReturnCode MrtOperatorBoolean::Operate(ProgressPtr progress) {
    if (!m_groups) return eInvalidInput;
    Groups groups;
    if (!groups.Load(*m_groups)) return eInvalidInput;
    m_groups->ClearClassification();
    std::array<Solid, 2> solids;
    for (int g = 0; g < 2; ++g) {
        const std::vector<MStlTriangleElement*> triangles = groups.Triangles(g, false);
        if (triangles.empty()) return eEmptyMesh;
        solids[size_t(g)].Capture(triangles, groups);
    }
    IncrementalProgressReporter reporter(progress, kProgressName, 1000);
    groups.InvertReversed();
    const bool cut = Cut(groups, reporter);
    groups.InvertReversed();
    if (!cut) return eCancelled;
    for (int g = 0; g < 2; ++g)
        if (!Classify(g, groups, solids[size_t(1 - g)], *m_groups, reporter)) return eCancelled;
    return eSuccess;
}

}  // namespace QelSDK::Triangles::Boolean
