// Retriangulation of trimmed triangles.
//
// MTriangleTrimRetriangulator replaces one crossed triangle by triangles that
// follow the trim segments of its trim info.  For every list of the info the
// segments are chained into closed contours in (a/w, b/w), closed along the
// triangle's edges; the region on the right of the contours (the kept side of
// every segment, the same side as the inside of the axis lines) is
// triangulated and its pieces get the status of the list's type.
//
// All or nothing: every list of the info is triangulated first, and the new
// triangles are added to the mesh only when no list failed.  A call that sets
// an error bit adds no triangle and returns false; the trimmed triangle keeps
// its status.  Records consumed while chaining leave their lists either way.
//
// A record lying along one edge (where the other mesh only touches that edge)
// bounds nothing next to records that cross the triangle: it is left out of
// such a list, and its ends only divide the edge where the walks along it
// pass, in every list, as the neighbour across the edge divides it.
//
// The pieces use only the triangle's corners and the mesh points of the
// segment ends, and keep the triangle's orientation.  A piece whose three
// corners are collinear on the integer grid has no area and is left out.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "MTriangleTrimIntersection.h"
#include "host/MStlBorderFiller.h"

// A contour point on an edge of the trimmed triangle.
struct MTriangleTrimContourMakerIntersectionPoint {
    MStlPoint* point = nullptr;
    unsigned char code = 4;  // position code: the edge's axis number
};

class MTriangleTrimRetriangulator {
public:
    // Error bits of the last CreateNewTriangles.
    static constexpr uint32_t kErrorContourNotClosed = 1;    // no next segment, or too many points
    static constexpr uint32_t kErrorNotTriangulated = 2;     // a hole found no bridge, or the filler failed
    static constexpr uint32_t kErrorDegenerateTriangle = 4;  // U × V = 0: nothing was done

    MTriangleTrimRetriangulator();
    ~MTriangleTrimRetriangulator();
    MTriangleTrimRetriangulator(const MTriangleTrimRetriangulator&) = delete;
    MTriangleTrimRetriangulator& operator=(const MTriangleTrimRetriangulator&) = delete;

    // Statuses of new triangles by list type 0 to 3 (a type above 3 takes
    // the fourth); the fifth goes to the trimmed triangle.
    void SetTriangulationStatus(char s0, char s1, char s2, char s3, char s4);
    // searchAllLists: chain segments across all lists of the info and fill
    // with the border filler.  chooseByAngle: of several segments starting at
    // one point take the sharpest right turn.
    void SetSearchMode(bool searchAllLists, bool chooseByAngle);
    void SetTrimBorder(bool on) { m_trimBorder = on; }
    // Border 2·side + list; null for side or list above 1.
    MStlCutBorder* GetTrimBorder(unsigned char side, unsigned char list);

    void SaveExtraInfo() { m_saveExtraInfo = true; }
    void DontSaveExtraInfo() { m_saveExtraInfo = false; }
    const std::vector<MStlTriangle*>& GetNewTriangles() const { return m_newTriangles; }
    const std::vector<MTriangleTrimContourMakerIntersectionPoint>& GetIntersectionPoints() const {
        return m_intersectionPoints;
    }
    uint32_t GetError() const { return m_error; }

    // True when triangles were added; the trimmed triangle then gets the
    // fifth status and the caller removes it.
    bool CreateNewTriangles(MTriangleTrimInfo& info, unsigned char side);
    // Joins the segments of lists 0 and 1 into the polylines of the trim
    // borders of `side` (0 or 1).
    void UpdateTrimBorders(MTriangleTrimInfo& info, unsigned char side);

private:
    using Element = MTriangleTrimIntersectionList::Element;
    struct PendingTriangle {
        MStlPoint* corner[3];
        char status;
    };

    bool _IsDegenerate(MTriangleTrimInfo& info);
    bool _ProcessList(unsigned listIndex);
    void _CollectEdgePoints(MTriangleTrimInfo& info);
    void _TakeRecordsAlongEdges(MTriangleTrimIntersectionList& list);
    void _AddEdgePointsBefore(const MTriangleTrimPosition& target);
    bool _BuildContour(MTriangleTrimIntersectionList& list, uint64_t pointLimit);
    void _SearchNext();
    bool _FindSegmentStartingHere();
    bool _WalkAlongEdge(unsigned char axis);
    unsigned _SearchedList(unsigned n) const;
    void _RemoveFound();
    void _AddPosition(const MTriangleTrimPosition& position);
    void _AddSegment(const MTriangleTrimIntersection& segment, bool withStart);
    void _AddCorner();
    void _AddTriangleBorderIfOnlyHoles();
    void _MapToTrueShape();
    bool _FillWithFiller(char status);
    bool _Triangulate(char status);
    void _AddPending(MStlPoint* a, MStlPoint* b, MStlPoint* c, char status);
    bool _CommitPending(MStlTriangle& trimmed);
    void _DropRepeatedPieces();
    void _MergeIntoBorder(MStlCutBorder& border, MStlPoint* start, MStlPoint* end);

    char m_status[5] = {0, 0, 0, 0, 0};
    MTriangleTrimInfo* m_info = nullptr;
    unsigned m_currentList = 0;
    unsigned m_listsSearched = 1;
    MStlBase* m_mesh = nullptr;
    MStlTriangle* m_triangle = nullptr;
    MTriangleTrimCS m_ownCS;  // the triangle's own system, without transform

    Element* m_found = nullptr;
    Element* m_foundPrev = nullptr;
    unsigned m_foundList = 0;
    bool m_lastWasSegment = false;
    bool m_contourValid = true;
    MTriangleTrimPosition m_corner;
    int m_searchResult = 0;

    // Ends of the info's records along edges, strictly inside an edge (their
    // position codes name it); and those the current walk passes.
    std::vector<MTriangleTrimPosition> m_edgePoints;
    std::vector<size_t> m_between;

    MStlCutBorder m_contours;
    MStlCutContour* m_contour = nullptr;
    MTriangleTrimLine m_line;
    MTriangleTrimPosition m_position;

    bool m_searchAllLists = false;
    bool m_chooseByAngle = false;
    bool m_saveExtraInfo = false;
    bool m_trimBorder = false;
    MStlCutBorder m_trimBorders[4];
    std::vector<MStlTriangle*> m_newTriangles;
    std::vector<MTriangleTrimContourMakerIntersectionPoint> m_intersectionPoints;
    uint32_t m_error = 0;

    // Reused from call to call.
    std::vector<PendingTriangle> m_pending;
    struct Triangulator;
    std::unique_ptr<Triangulator> m_triangulator;
    MStlBorderFiller m_filler;
};
