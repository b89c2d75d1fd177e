// A bounding-box hierarchy over triangles of a mesh, for ray queries.
//
// The tree is built in parallel: triangle boxes in a parallel loop, then the
// sub-trees as tasks of a task group fed from a queue of pending nodes, each
// task taking its nodes from storage of its own thread.  Every split depends
// on the triangles alone (median of the box centres along the widest axis,
// ties broken by input position), so the tree, and every query answer, is
// the same for any number of threads.  The finished tree is read-only and
// may be queried from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/MMath.h"
#include "host/MStlBase.h"

class MStlTriangleTree {
public:
    struct Hit {
        const MStlTriangleElement* triangle = nullptr;
        // Along the normalised direction.
        double distance = 0.0;
        MMVector3d point;
    };

    // Over the given triangles (live triangles of one mesh).  More than
    // 4294967295 triangles throws std::runtime_error("Too many objects").
    explicit MStlTriangleTree(const std::vector<const MStlTriangleElement*>& triangles);
    // Over every triangle of the mesh, in slot order.
    explicit MStlTriangleTree(const MStlBase& mesh);
    ~MStlTriangleTree();
    MStlTriangleTree(const MStlTriangleTree&) = delete;
    MStlTriangleTree& operator=(const MStlTriangleTree&) = delete;

    uint64_t GetNumberOfTriangles() const { return m_triangles.size(); }
    uint64_t GetNumberOfNodes() const { return m_nodeCount; }

    // The nearest triangle that the ray from `origin` along `direction`
    // (normalised here; a zero direction hits nothing) meets within
    // `maxLength`.  Triangles are hit from both sides; a ray running in a
    // triangle's plane misses it.  Of equally near hits the one met last in
    // the tree's fixed order wins.
    bool CastRay(const MMVector3d& origin, const MMVector3d& direction, double maxLength, Hit& hit) const;
    // Every triangle the ray meets within `maxLength`, nearest first.
    std::vector<Hit> CastRayAll(const MMVector3d& origin, const MMVector3d& direction, double maxLength) const;

private:
    struct Node;
    struct Storage;
    struct Corners {
        int32_t c[3][3];
    };
    void _Build(const std::vector<const MStlTriangleElement*>& triangles);
    // Distance along the ray to the triangle at tree position `k`; false on a miss.
    bool _Intersect(uint32_t k, const MMVector3d& o, const MMVector3d& d, double limit, double& t) const;
    template <class Visit>
    void _Traverse(const MMVector3d& o, const MMVector3d& d, double& limit, Visit&& visit) const;

    std::vector<const MStlTriangleElement*> m_triangles;  // in tree order
    std::unique_ptr<Corners[]> m_corners;                 // in tree order
    std::unique_ptr<Storage> m_storage;
    const Node* m_root = nullptr;
    uint64_t m_nodeCount = 0;
};
