// Mesh booleans: cutting a closed mesh by a cutting mesh into its inside and
// outside parts, unions, intersections and differences of closed meshes,
// resolving a mesh's self-intersections, and removing the part of an open
// or non-manifold model inside (or outside) a closed one.
//
// The work is done by exact corefinement on converted copies; points the
// corefinement creates are rounded to the nearest integer grid point on the
// way back.  A result that rounding would make open, non-manifold or
// self-intersecting is refused with eRoundingBrokeResult and the meshes are
// left as they were.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/MProgress.h"
#include "host/MStlBase.h"

namespace QelSDK::Triangles::Boolean {

enum EReturnCode : int32_t {
    eSuccess = 0,
    eInvalidInput = 1,        // null mesh or parameter
    eNotClosed = 2,           // an input that must bound a volume is open, non-manifold or inside out
    eSelfIntersecting = 3,    // an input intersects itself
    eCorefinementFailed = 4,
    eRoundingBrokeResult = 5, // rounding the new points to the grid would make the result open or self-intersecting
    eCancelled = 6,
    eEmptyPlaneSource = 7,
    eEmptyMesh = 8,
};

// Per-triangle groups of the last cut, by triangle slot of the cut mesh:
//   0  an original triangle that was kept (possibly moved to another surface)
//   1  a triangle the cut added
//   2  an original triangle that was replaced: the caller removes it
// Triangles the cut never saw (added later) report 0.
class MrtGroupManager {
public:
    enum EGroup : uint8_t { eKept = 0, eAdded = 1, eDiscard = 2 };
    void Clear() { m_groups.clear(); }
    void Set(const MStlTriangle* t, EGroup g) {
        const uint32_t i = t->GetIndex();
        if (i >= m_groups.size()) m_groups.resize(size_t(i) + 1, eKept);
        m_groups[i] = g;
    }
    int Get(const MStlTriangle* t) const {
        const uint32_t i = t->GetIndex();
        return i < m_groups.size() ? int(m_groups[i]) : int(eKept);
    }
    void Reserve(size_t n) { m_groups.reserve(n); }

    // --- groups of surfaces for MrtOperatorBoolean --------------------------
    // Puts a surface (or every surface a feature has now) into group 1 or 2.
    // `classify`: its triangles are cut along the other group and classified
    // against it; otherwise they only cut the other group.  `reverse`: the
    // surface counts as turned around, so the sides it gives the other
    // group's triangles swap.
    struct Member {
        MStlSurface* surface;
        int group;
        bool classify;
        bool reverse;
    };
    void AddSurface(MStlSurface* surface, int group, bool classify, bool reverse) {
        m_members.push_back({surface, group, classify, reverse});
    }
    void AddFeature(MStlFeature* feature, int group, bool classify, bool reverse) {
        if (feature)
            for (MStlSurface* s : feature->GetSurfaces()) AddSurface(s, group, classify, reverse);
    }
    const std::vector<Member>& GetMembers() const { return m_members; }

    // Where a classified triangle lies against the other group after
    // MrtOperatorBoolean: inside (on the back of its surface), outside, or
    // neither (on that surface, or undecided).
    enum EClass : uint8_t { eNeither = 0, eOutside = 1, eInside = 2 };
    void SetClassification(const MStlTriangle* t, EClass c) {
        std::vector<uint8_t>& classes = m_classes[t->GetStl()];
        if (t->GetIndex() >= classes.size()) classes.resize(size_t(t->GetIndex()) + 1, eNeither);
        classes[t->GetIndex()] = c;
    }
    EClass GetClassification(const MStlTriangle* t) const {
        auto it = m_classes.find(t->GetStl());
        if (it == m_classes.end() || t->GetIndex() >= it->second.size()) return eNeither;
        return EClass(it->second[t->GetIndex()]);
    }
    bool IsImmediateClassificationInside(const MStlTriangle* t) const { return GetClassification(t) == eInside; }
    bool IsImmediateClassificationOutside(const MStlTriangle* t) const { return GetClassification(t) == eOutside; }
    void ClearClassification() { m_classes.clear(); }

private:
    std::vector<uint8_t> m_groups;
    std::vector<Member> m_members;
    std::unordered_map<const MStlBase*, std::vector<uint8_t>> m_classes;
};

class MTriangleGroupManager {
public:
    // 2 for a triangle to discard; see MrtGroupManager.
    static int GetGroup(const MrtGroupManager& groups, const MStlTriangle* t) { return groups.Get(t); }
};

// Cuts a closed mesh in place by a cutting mesh.
//
// Afterwards the mesh's part inside the cutter lies in surfaces of feature
// `inside` and the part outside in surfaces of feature `outside`.  Each part
// is a closed, outward oriented solid: the cutter's pieces inside the mesh
// close both, facing out of the inside part and (reversed) out of the
// outside part.  Original triangles that the cut did not touch are kept and
// moved to a surface of the right feature named after their old surface
// (group 0); new triangles are group 1; the replaced originals are group 2
// and stay in the mesh until the caller removes them.
//
// A closed cutter gives inside = mesh ∩ cutter, outside = mesh − cutter.  An
// open cutter whose points all lie in one plane (such as a quad covering the
// mesh) stands for the prism it sweeps towards the back of its triangles:
// inside is the part on the side opposite to where its triangles face,
// outside the part on the side they face.  Any other open cutter is refused
// with eNotClosed.
//
// Classification is exact, so every triangle is inside or outside and
// `unidentified` never receives triangles; it may be null.  The direction
// (dx, dy, dz) is not used.  With a null `inside` or `outside` the feature is
// taken to be the mesh's main feature.
//
// Codes: eInvalidInput (no mesh or cutter), eEmptyMesh (either has no
// triangles), eNotClosed (mesh open/non-manifold/inside out, or open cutter
// not flat), eSelfIntersecting, eCorefinementFailed, eRoundingBrokeResult,
// eCancelled.  On any failure the mesh is unchanged.  A cutter that misses
// the mesh puts everything in one feature and discards nothing.
class MrtOperatorCut {
public:
    struct MrtOperatorCutParams {
        MStlBase* mesh = nullptr;
        MStlBase* cutter = nullptr;
        MStlFeature* outside = nullptr;
        MStlFeature* inside = nullptr;
        MStlFeature* unidentified = nullptr;
        double dx = 0, dy = 0, dz = 0;
    };

    void SetGroupManager(MrtGroupManager* groups) { m_groups = groups; }
    void SetParams(const MrtOperatorCutParams& params) { m_params = params; }
    EReturnCode Operate(QelSDK::Common::ProgressPtr progress = nullptr);

private:
    MrtGroupManager* m_groups = nullptr;
    MrtOperatorCutParams m_params;
};

// Cuts the surfaces of a group manager's groups 1 and 2 along each other and
// classifies the triangles of every classified surface against the other
// group.
//
// Every crossing pair of triangles of the two groups is intersected exactly
// (new points on the integer grid, shared by both sides) and the crossed
// triangles of classified surfaces are replaced by their pieces, which stay
// in their surfaces.  A piece on the back of the other group's surface is
// inside, one on its front outside, one lying on it neither.  Uncut
// triangles take the side of the cut pieces they are joined to through
// edges that the other group does not pass through, or, where they touch the
// other group along an edge of the same mesh, the side of that edge's
// triangles (a fold where two meet).  Connected triangles that learn nothing
// that way, or learn both sides, are decided by an exact point-in-solid
// test when the other group bounds a solid (a closed, consistently oriented
// surface as it was before the cut), and are neither otherwise.
//
// Codes: eInvalidInput (no group manager, a surface in both groups or in no
// group 1 or 2), eEmptyMesh (a group without triangles), eCancelled (the
// meshes are then partly cut).
class MrtOperatorBoolean {
public:
    void SetGroupManager(MrtGroupManager* groups) { m_groups = groups; }
    EReturnCode Operate(QelSDK::Common::ProgressPtr progress = nullptr);

private:
    MrtGroupManager* m_groups = nullptr;
};

// Removes the part of a model that is not a closed 2-manifold inside (or,
// with SetSubtractOutside(true), outside) a closed subtracted model.  Cut
// triangles are retriangulated exactly along the subtracted model's surface;
// nothing is closed.
class MStlOperatorBooleanSubtractFromNonManifold {
public:
    // No boundary edges, no edge with more than two triangles, every edge
    // run both ways.
    static bool IsManifold(const MStlBase& mesh);
    void SetNonManifoldModel(MStlBase* model) { m_model = model; }
    void SetSubtractedModel(const MStlBase* subtracted) { m_subtracted = subtracted; }
    void SetSubtractOutside(bool outside) { m_outside = outside; }
    // 0 on success; otherwise an EReturnCode (missing or empty model,
    // subtracted model not closed).
    int Operate();

private:
    MStlBase* m_model = nullptr;
    const MStlBase* m_subtracted = nullptr;
    bool m_outside = false;
};

}  // namespace QelSDK::Triangles::Boolean

namespace AU {

using QelSDK::Triangles::Boolean::EReturnCode;

struct BooleanParameters {
    // Check every input for self-intersections over its whole surface before
    // the operation (slower).  Off: only faces near the other inputs'
    // surfaces are checked, which is what corefinement needs.
    bool checkWholeInput = false;
    // Skip the closedness test of the inputs (a non-closed input then gives
    // eCorefinementFailed or a wrong result instead of eNotClosed).
    bool skipClosedCheck = false;
    // Refuse a result that rounding to the grid would break
    // (eRoundingBrokeResult).  Off: the rounded result is written anyway.
    bool checkRounding = true;
};

// Trims mesh `a` against the closed mesh `b` in place.
//   keepInside     true: `a` keeps its part inside `b`; false: outside.
//   closeWithOther true: the result is a closed solid (a ∩ b or a − b, `a`
//                  must be closed); false: only `a`'s own surface is trimmed
//                  and the result is open where `b` cut it (`a` may be open).
//   reserved1, reserved2: must be false (eInvalidInput otherwise).
EReturnCode BooleanTrimNoGraphs(MStlBase& a, const MStlBase& b, bool keepInside, bool closeWithOther, bool reserved1,
                                bool reserved2, const BooleanParameters& parameters,
                                QelSDK::Common::ProgressPtr progress);
// Cuts the closed mesh `a` by the closed mesh `b` into a ∩ b (`inside`)
// and a − b (`outside`) in one go: both parts come from one intersection
// curve and are rounded together, so they meet on the same grid points.
// `inside` or `outside` may be `a`, not `b`.  Codes as for
// BooleanTrimNoGraphs; on failure neither result is written.
EReturnCode BooleanTrimBothSides(const MStlBase& a, const MStlBase& b, MStlBase& inside, MStlBase& outside,
                                 const BooleanParameters& parameters, QelSDK::Common::ProgressPtr progress);
// Union of closed meshes into `result` (which may be one of them).
EReturnCode BooleanUnite(const std::vector<const MStlBase*>& meshes, MStlBase& result,
                         const BooleanParameters& parameters, QelSDK::Common::ProgressPtr progress);
// Resolves the self-intersections of one closed mesh in place: the result
// bounds the union of its shells (its outer envelope).  `mode` is unused (0).
EReturnCode BooleanUnify(MStlBase& mesh, int mode, const BooleanParameters& parameters,
                         QelSDK::Common::ProgressPtr progress);
EReturnCode BooleanIntersect(const std::vector<const MStlBase*>& meshes, MStlBase& result,
                             const BooleanParameters& parameters, QelSDK::Common::ProgressPtr progress);
// (union of minuends) − (union of subtrahends); no subtrahends is allowed.
EReturnCode BooleanSubtract(const std::vector<const MStlBase*>& minuends,
                            const std::vector<const MStlBase*>& subtrahends, MStlBase& result,
                            const BooleanParameters& parameters, QelSDK::Common::ProgressPtr progress);

// A closed solid over exact points.  A chain of booleans run on exact
// solids meets no near miss between its steps, since nothing is rounded
// until a result is written: pieces made from one another keep their shared
// faces exactly coplanar.  Not thread-safe; copies are deep.
class ExactSolid {
public:
    ExactSolid();
    ~ExactSolid();
    ExactSolid(const ExactSolid& other);
    ExactSolid(ExactSolid&& other) noexcept;
    ExactSolid& operator=(const ExactSolid& other);
    ExactSolid& operator=(ExactSolid&& other) noexcept;

    // `mesh`, which must be closed, outward and free of degenerate
    // triangles (codes as for BooleanUnite).
    EReturnCode Load(const MStlBase& mesh, const BooleanParameters& parameters);
    // This solid replaced by its union with, intersection with or
    // difference from `other`; on failure this solid is unchanged.
    EReturnCode Unite(const ExactSolid& other);
    EReturnCode Intersect(const ExactSolid& other);
    EReturnCode Subtract(const ExactSolid& other);
    bool Empty() const;
    // The lowest and highest z of the solid's points (grid steps, rounded
    // outwards); 0, 0 when empty.
    std::pair<double, double> ZRange() const;
    // Which faces a sweep takes: `nz` is a face's unit normal's z, `lowest`
    // and `highest` its corners' lowest and highest z (grid steps).
    using SweepSelection = std::function<bool(double nz, double lowest, double highest)>;
    // The height a sweep reaches over or under a point (grid steps), or
    // none, which leaves the faces at that point out.
    using SweepLevel = std::function<std::optional<int32_t>(double x, double y, double z)>;
    // Grows `out` by the solid swept vertically from the faces `selected`
    // takes to their corners' levels: every edge-connected region of such
    // faces becomes a closed prism between its faces and their copy at the
    // levels, and the prisms are united with `out` (which may be empty, or
    // this solid's copy).  `outward`: the prisms lie on the outer side of
    // the faces, else on the inner side; a face whose corners' levels do not
    // all lie on that side, or whose shadow on the x-y plane has no area, is
    // never taken.  A region never touches itself at a corner (its prism
    // would be pinched there): such faces make regions of their own.
    // Nothing taken leaves `out` as it is.  Codes of the unions; eNotClosed
    // when a prism cannot be built closed; eCancelled.
    EReturnCode Swept(const SweepSelection& selected, const SweepLevel& level, bool outward, ExactSolid& out,
                      QelSDK::Common::ProgressPtr progress) const;
    // Moves every point for which `lifted` (given the point in grid steps,
    // approximated) returns true up by `dz` grid steps.  The solid may come
    // to cross itself; the next boolean on it then refuses it.
    void Lift(const std::function<bool(double x, double y, double z)>& lifted, int32_t dz);
    // Keeps the connected shells for which `keep` returns true, given the
    // shell's points (grid steps, approximated).
    void KeepShells(const std::function<bool(const std::vector<std::array<double, 3>>& points)>& keep);
    // Rounds the solid to the grid into `target` (which is replaced),
    // checked and repaired as every boolean's result is.
    EReturnCode Write(MStlBase& target, const BooleanParameters& parameters) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Splits mesh `a` in place along the surface `cutter`, which may be open
// (a sheet) or closed: `a`'s triangles are divided exactly along the curves
// where the cutter meets them, and the pieces on the two sides of such a
// curve get points of their own there, so that they become separate shells
// that touch.  Nothing is removed; a part of `a` lying in the cutter is cut
// out along the border of the contact.  The cutter's connected surfaces may
// cross each other; each one must be free of self-intersections where it
// meets `a`, and so must `a`.  New points are rounded to the nearest grid
// point (a sliver that rounding collapses is left out).  Degenerate
// triangles of either mesh are left out (they have no area).  `a` may be
// open; neither mesh may use an edge twice the same way (eInvalidInput).
// Codes: eInvalidInput, eEmptyMesh, eSelfIntersecting (near the cut, or
// anywhere with checkWholeInput), eCorefinementFailed, eRoundingBrokeResult
// (a point off the 32-bit grid), eCancelled; on failure `a` is unchanged.
EReturnCode BooleanSplitAlongSurface(MStlBase& a, const MStlBase& cutter, const BooleanParameters& parameters,
                                     QelSDK::Common::ProgressPtr progress);

// A shell: triangles of one mesh, as MStlShellManager::GetShell gives them.
using MStlShell = std::vector<MStlTriangleElement*>;
// Appends the shell's triangles (with their points) to `target`.
void CopyShell(MStlBase& target, const MStlShell& shell);

// Removes repeated triangles (same three points, in any order of the same
// orientation, all but one kept); a pair of coincident opposite triangles is
// a sheet without volume and both go.  Then Update().
void RemoveDoubleTrianglesAndUpdateStl(MStlBase& mesh, QelSDK::Common::ProgressPtr progress = nullptr);

}  // namespace AU
