// The profile cutter: cuts a triangle mesh along a set of closed 2-D
// polygons in the mesh's X-Y plane, extruded along Z, into the part inside
// the profile and the part outside it.
//
// Coordinates are the mesh's integer units.  -2147483648 and 2147483647
// stand for minus and plus infinity in the profile and in the cut limits.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "MCutProfile.h"
#include "containers/M3dBorder.h"
#include "host/MProgress.h"
#include "host/MStlBase.h"

struct MCutEdge;
struct MCutChain;
struct MCutWallEdge;
struct MCutNeedle;
class MTriangleTrimRetriangulator;
template <class T>
class D_LIST;

// The exported form of the cut: float X, Y, Z of mesh points on the cut.
using MCutProfileFloat = M3dBorder<float, float, M3dBorderContour<float, float, M3dBorderPoint<float, float>>>;

class MCutter {
public:
    // Results of the cut operations.
    static constexpr char kDone = 0;
    static constexpr char kCancelled = 2;
    static constexpr char kNoCut = char(255);
    // The cut was made, but some openings could not be closed (a cut
    // contour that does not close, a triangle that could not be divided, or
    // results of a closed mesh that are not closed); the results are
    // delivered and are not closed there.
    static constexpr char kOpeningsNotClosed = 5;
    // A cut mode that cuts, asked for before SetCutStl gave it a mesh.
    static constexpr char kNoMesh = 6;
    // Memory ran out: no result is delivered, and a mesh cut in place may
    // be left partly divided.
    static constexpr char kOutOfMemory = 7;

    // Triangle status bits of the cut phases.
    static constexpr uint8_t kCrossed = 1;
    static constexpr uint8_t kInside = 2;
    static constexpr uint8_t kOutside = 4;
    static constexpr uint8_t kFill = 8;
    static constexpr uint8_t kBelow = 16;
    static constexpr uint8_t kAbove = 32;
    static constexpr uint8_t kRegion = 64;

    static constexpr long kMinusInfinity = LONG_MIN < INT32_MIN ? long(INT32_MIN) : LONG_MIN;
    static constexpr long kPlusInfinity = long(INT32_MAX);

    MCutter();
    ~MCutter();
    // A copy takes every setting and a deep copy of the profile.  Meshes the
    // original owns (its working copy of the start mesh, its results) are
    // duplicated, so that no mesh is ever released twice; a working mesh the
    // original does not own (an in-place cut) is shared.  The edge list is
    // not copied: every cut rebuilds it.
    MCutter(const MCutter& other);
    MCutter& operator=(const MCutter& other);

    // --- setup -------------------------------------------------------------
    // inPlace true: the mesh itself is cut.  Otherwise the cutter works on a
    // copy that it owns, and the mesh is left unchanged.
    void SetCutStl(MStlBase& mesh, bool inPlace);
    // Mode 0-2: plane X/Y/Z = value; 3: along the profile, filled; 4: support
    // cut; 5: depth cut from Z = value upward; 6: no cut; 7: along the
    // profile in place, unfilled.  Clears the round radius.
    void SET_CUT_MODE(unsigned char mode, long value);
    // 0: openings stay open, 2: vertical segments, any other value: filled.
    void SET_FILL_MODE(unsigned char mode) { m_fillMode = mode; }
    void SET_CUT_LIMITS(long low, long high) { m_lowerLimit = low; m_upperLimit = high; }
    // Call after SET_CUT_MODE, which clears it.
    void SET_ROUND_PROFILE(long radius) { m_roundRadius = radius; }
    void SET_SUPPORT_CUT_PARAMETERS(long a, long b, long c, double d, double e);
    void SET_FILL_PARAMETER(long maxContourPoints) { m_fillParameter = maxContourPoints; }
    // Triangles for which `f` answers true are left whole by the cut.
    void SetCustomTriangleIgnoreFunction(std::function<bool(MStlTriangle*)> f);
    void ResetCustomTriangleIgnoreFunction();
    void AddNewCutContour();
    // Appends a point to the last contour; makes a first contour when there
    // is none.  `ownSurface`: the cut surface along the edge that starts here
    // goes into a surface of its own.
    void AddNewCutPoint(long x, long y, bool ownSurface);

    // --- the cut ------------------------------------------------------------
    // 0 done, 2 cancelled through the delegate, 255 when the mode cuts nothing.
    char MAKE_CUT(QelSDK::Common::ProgressPtr progress = nullptr);
    // Releases the old results and makes the requested empty ones, named
    // "inside_of_<name>" and "outside_of_<name>" after the start mesh.
    void MAKE_NEW_DATA(bool inside, bool outside);

    // --- results ------------------------------------------------------------
    // Index 0: the inside result, or the outside one when there is no inside
    // result; 1: the outside result; other indices: null.  With `take` the
    // caller owns the mesh and the cutter forgets it.
    MStlBase* GetResult(unsigned long long index, bool take);
    MStlBase* GetInsideResult(bool take);
    MStlBase* GetOutsideResult(bool take);
    uint64_t GetNumResults() const { return uint64_t(m_inside != nullptr) + uint64_t(m_outside != nullptr); }
    MStlBase* GetWorkingStl() const { return m_working; }
    MStlBase* GetStartStl() const { return m_start; }
    // Appends one contour per chain of cut segments of the last cut.
    void GetCutProfile(MCutProfileFloat& out) const;

    // --- the phases of a cut, in the order MAKE_CUT runs them -------------
    // Plane cut where coordinate `axis` (0 X, 1 Y, 2 Z) equals `value`; the
    // inside result takes the part at or below the value.
    char MAKE_CUT_AT_VALUE(long value, char axis, QelSDK::Common::ProgressPtr progress = nullptr);
    // Permutes a point's coordinates so that `axis` becomes X (direction 0)
    // or back (direction 1).
    static void TRANSFORM(MStlPoint& point, char axis, char direction);
    char _MakeCutAlongPolyline(bool fill, QelSDK::Common::ProgressPtr progress = nullptr);
    // Replaces the infinite profile coordinates by values one model unit
    // outside the working mesh.
    void REPLACE_MAX_COORDINATES();
    // Builds the edge list; with `checkIntersections` a self-intersecting
    // profile gives 1.
    char _CreateEdgeList(bool checkIntersections, QelSDK::Common::ProgressPtr progress = nullptr);
    char EDGES_INTERSECT(QelSDK::Common::ProgressPtr progress = nullptr);
    char DIVIDE_DATA(QelSDK::Common::ProgressPtr progress = nullptr);
    void CLASSIFY_TRIANGLES(QelSDK::Common::ProgressPtr progress = nullptr);
    void REMOVE_CUT_POINTS_IN_TRIANGLES(QelSDK::Common::ProgressPtr progress = nullptr);
    void FINAL_CUT_REMOVE(QelSDK::Common::ProgressPtr progress = nullptr);
    void FILL_CUT_EDGES();
    void FILL_CUT_EDGES_USING_FILL_ALGORTIHM();
    void FILL_CUT_EDGES_WITH_VERTICAL_SEGMENTS();
    void DIVIDE_TO_CUT_DATA(QelSDK::Common::ProgressPtr progress = nullptr);
    void DIVIDE_TO_CUT_DATA_4_COMPLEX_TOPOLOGY(QelSDK::Common::ProgressPtr progress = nullptr);

    // 2 (inside) or 4 (outside) for a triangle that no wall crosses.
    char POSITION_TRIANGLE(MStlTriangle& triangle) const;
    char POSITION_TRIANGLE_CENTER(MStlTriangle& triangle) const;
    // 0 on the profile, 1 inside, 2 outside; exact for integer points.
    int PointInProfile(double x, double y, double tolerance = 0.0) const;
    DLIST_ELEMENT<MStlTriangle>* COPY_TRIANGLE_TO(MStlTriangle& triangle, bool inside) const;
    static DLIST_ELEMENT<MStlTriangle>* COPY_TRIANGLE_TO(MStlTriangle& triangle, MStlBase* target);
    bool _IgnoreTriangleWhileCut(MStlTriangle* triangle);
    void _MarkInsideTriangles() const;
    void _MarkUpperAndLowerTriangles() const;
    void DETERMINE_BELOW_AND_ABOVE() const;
    void REMOVE_TRIANGLE_SETS() const;

    char MAKE_DEPTH_CUT(QelSDK::Common::ProgressPtr progress = nullptr);
    char MAKE_SUPPORT_CUT(long baseZ, long downOffset, long upOffset, double slopeFactor, double maxSlope,
                          QelSDK::Common::ProgressPtr progress = nullptr);
    void DIVIDE_AT_HEIGHT(long z) const;
    MMVector<double, 3> _GetNormalOfPoint(MStlPoint* point);

    // The edge list of the last cut (null before the first).
    const D_LIST<MCutEdge>* GetEdgeList() const { return m_edges; }
    // Openings of the last cut that could not be closed: open cut contours,
    // triangles that could not be divided, missing depth-cut caps, and the
    // open triangle sides of the results when a filled cut of a closed mesh
    // left any.
    uint64_t GetNumberOfUnclosedOpenings() const { return m_unclosed; }

    // --- settings, for the cut phases and for callers -------------------
    const MCutProfile& GetProfile() const { return m_profile; }
    MCutProfile& GetProfile() { return m_profile; }
    unsigned char GetCutMode() const { return m_cutMode; }
    long GetCutValue() const { return m_cutValue; }
    unsigned char GetFillMode() const { return m_fillMode; }
    long GetFillParameter() const { return m_fillParameter; }
    long GetRoundRadius() const { return m_roundRadius; }
    long GetLowerCutLimit() const { return m_lowerLimit; }
    long GetUpperCutLimit() const { return m_upperLimit; }
    bool IsInPlaceCut() const { return m_inPlaceCut; }
    bool IsCancelled() const { return m_cancelled; }
    bool IsTriangleIgnored() const { return m_triangleIgnored; }
    bool OwnsWorkingStl() const { return m_ownsWorking; }
    bool UsesCustomIgnoreFunction() const { return m_useIgnore; }
    bool IgnoresTriangle(MStlTriangle* t) const { return m_useIgnore && m_ignore(t); }
    struct SupportParameters {
        long a = 0, b = 0, c = 0;
        double d = 0.0, e = 0.0;
    };
    const SupportParameters& GetSupportParameters() const { return m_support; }

private:
    char _MakeCut(QelSDK::Common::ProgressPtr progress);
    void ReleaseWorking();
    void ReleaseResults();
    void ReleaseEdgeList();
    void CopySettingsFrom(const MCutter& other);

    MCutProfile m_profile;
    MStlBase* m_working = nullptr;
    bool m_ownsWorking = false;
    MStlBase* m_start = nullptr;
    MStlBase* m_inside = nullptr;
    MStlBase* m_outside = nullptr;
    D_LIST<MCutEdge>* m_edges = nullptr;
    unsigned char m_fillMode = 1;
    unsigned char m_cutMode = 3;
    long m_fillParameter = 500;
    long m_roundRadius = 0;
    long m_cutValue = 0;
    SupportParameters m_support;
    long m_lowerLimit = kMinusInfinity;
    long m_upperLimit = kPlusInfinity;
    bool m_inPlaceCut = false;
    bool m_cancelled = false;
    std::function<bool(MStlTriangle*)> m_ignore;
    bool m_useIgnore = false;
    bool m_triangleIgnored = false;
    uint64_t m_unclosed = 0;
    // Unpaired triangle sides of the inside and outside parts, counted while
    // the parts are built; UINT64_MAX where they were built another way.
    uint64_t m_unpairedInParts[2] = {UINT64_MAX, UINT64_MAX};
    // Mesh edges lying in a wall, noted by the division; the fill takes those
    // that separate the inside part from the outside part.
    std::vector<MCutWallEdge> m_wallEdges;
    // Neighbours that a division squeezed to nothing, removed after it.
    std::vector<MCutNeedle> m_needles;
    // The fill's triangles and the pieces of divided triangles, for the
    // removal of folds.
    std::vector<MStlTriangleElement*> m_madeTriangles;
    // Mesh points on the vertical lines through profile corners that end
    // mesh edges bounding an opening, by corner: a fill walking along such a
    // line passes through them.
    std::map<std::pair<int64_t, int64_t>, std::vector<MStlPoint*>> m_cornerLinePoints;

    bool _Cancelled(const QelSDK::Common::IncrementalProgressReporter& reporter);
    // The working mesh's triangles a wall crosses, in slot order.
    std::vector<MStlTriangleElement*> _CrossedTriangles() const;
    void _MoveCornersOntoNearPointLines();
    void _CollectWallEdges();
    MStlTriangleElement* _DivideTriangle(MStlTriangleElement& t, const MStlPoint* const sides[3], int& movedCorners,
                                         const std::vector<MCutEdge*>& edges, int64_t widest,
                                         std::vector<const MCutEdge*>& passed,
                                         MTriangleTrimRetriangulator& retriangulator);
    // The side of a triangle by its corners other than the skipped ones (a
    // bit per corner), or by its middle.
    char _PositionBesides(MStlTriangle& t, int skippedCorners) const;
    MStlTriangleElement* _MoveTip(MStlTriangleElement& t, int corner, const int32_t xyz[3]);
    void _FillEdge(MCutEdge& edge, const std::vector<MCutChain>& chains, bool strips);
    void _FillWalls(bool strips);
};
