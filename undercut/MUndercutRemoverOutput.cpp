// The straight mode's solid: top sheet, flat bottom sheet and side walls
// from the height grid.
#include <vector>

#include "MUserOperatorUndercutRemover.h"
#include "host/MStlBase.h"
#include "undercut/MUndercutSupport.h"

using namespace UndercutRemoverUtils;

namespace {
// Mesh points of the grid's vertices, made on first use.
class VertexCache {
public:
    VertexCache(const Grid& grid, MStlBase& mesh, double depth)
        : m_grid(grid), m_mesh(mesh), m_depth(depth) {}
    // The top vertex (at the grid point's height) or the bottom one.
    MStlPoint* Get(uint64_t i, uint64_t j) {
        if (m_points.empty()) m_points.assign((m_grid.CountU + 1) * (m_grid.CountV + 1), nullptr);
        MStlPoint*& p = m_points[i * (m_grid.CountV + 1) + j];
        if (!p) {
            const double u = double(i) * m_grid.CellSize + m_grid.OriginU;
            const double v = double(j) * m_grid.CellSize + m_grid.OriginV;
            const double w = m_depth == kEmpty ? m_grid.Heights[i][j] : m_depth;
            p = m_grid.log->Point(m_mesh, m_grid.AxisU * u + m_grid.AxisV * v + m_grid.AxisW * w);
        }
        return p;
    }

private:
    const Grid& m_grid;
    MStlBase& m_mesh;
    double m_depth;
    std::vector<MStlPoint*> m_points;
};
}  // namespace

bool MUserOperatorUndercutRemover::_GenerateOutputModel(Grid& grid) {
    const double depth = grid.BottomW;
    if (grid.CountU == 0) return true;
    MStlBase& mesh = *m_output->GetStl();
    VertexCache top(grid, mesh, kEmpty), bottom(grid, mesh, depth);
    // Bottom triangles use points of the bottom surface's mesh.
    MStlBase* bottomMesh = m_bottom ? m_bottom->GetStl() : nullptr;
    VertexCache bottomOwn(grid, bottomMesh ? *bottomMesh : mesh, depth);
    VertexCache& floor = bottomMesh == &mesh ? bottom : bottomOwn;
    OutputLog& log = *grid.log;
    MStlSurface* out = m_output;

    auto T = [&](uint64_t i, uint64_t j) { return top.Get(i, j); };
    auto B = [&](uint64_t i, uint64_t j) { return bottom.Get(i, j); };
    auto F = [&](uint64_t i, uint64_t j) { return floor.Get(i, j); };
    auto face = [&](MStlPoint* a, MStlPoint* b, MStlPoint* c) { log.Triangle(out, a, b, c); };
    auto base = [&](MStlPoint* a, MStlPoint* b, MStlPoint* c) {
        if (m_bottom) log.Triangle(m_bottom, a, b, c);
    };

    grid.progress->Phase(400, grid.CountU);
    for (uint64_t i = 0; i < grid.CountU; ++i) {
        if (!grid.progress->Step(1)) return false;
        for (uint64_t j = 0; j < grid.CountV; ++j) {
            const bool f00 = grid.Filled(i, j), f01 = grid.Filled(i, j + 1);
            const bool f10 = grid.Filled(i + 1, j), f11 = grid.Filled(i + 1, j + 1);
            const uint64_t i1 = i + 1, j1 = j + 1;
            // Cell faces: split along the diagonal whose ends are filled,
            // the one with the smaller height difference when both are.
            const bool both = f10 && f01;
            const bool along0011 =
                f00 && f11 &&
                !(both && std::fabs(grid.Heights[i1][j] - grid.Heights[i][j1]) <=
                              std::fabs(grid.Heights[i][j] - grid.Heights[i1][j1]));
            if (along0011) {
                if (f10) {
                    face(T(i, j), T(i1, j1), T(i1, j));
                    base(F(i, j), F(i1, j), F(i1, j1));
                    if (!f01) face(T(i, j), B(i, j), T(i1, j1)), face(B(i, j), B(i1, j1), T(i1, j1));
                }
                if (f01) {
                    face(T(i, j), T(i, j1), T(i1, j1));
                    base(F(i, j), F(i1, j1), F(i, j1));
                    if (!f10) face(T(i, j), T(i1, j1), B(i, j)), face(B(i, j), T(i1, j1), B(i1, j1));
                }
            } else if (both) {
                if (f00) {
                    face(T(i, j), T(i, j1), T(i1, j));
                    base(F(i, j), F(i1, j), F(i, j1));
                    if (!f11) face(T(i, j1), B(i, j1), T(i1, j)), face(B(i, j1), B(i1, j), T(i1, j));
                }
                if (f11) {
                    face(T(i1, j), T(i, j1), T(i1, j1));
                    base(F(i1, j), F(i1, j1), F(i, j1));
                    if (!f00) face(T(i, j1), T(i1, j), B(i, j1)), face(B(i, j1), T(i1, j), B(i1, j));
                }
            }
            // Walls on the line (i, j)-(i+1, j), where the filled region
            // ends on one side of it.
            if (f00 && f10) {
                const bool belowFilled = j > 0 && (grid.Filled(i, j - 1) || grid.Filled(i1, j - 1));
                if (!belowFilled && (f01 || f11)) face(T(i, j), T(i1, j), B(i, j)), face(B(i, j), T(i1, j), B(i1, j));
                if (belowFilled && !f01 && !f11) face(T(i, j), B(i, j), T(i1, j)), face(B(i, j), B(i1, j), T(i1, j));
            }
            // Walls on the line (i, j)-(i, j+1).
            if (f00 && f01) {
                const bool leftFilled = i > 0 && (grid.Filled(i - 1, j) || grid.Filled(i - 1, j1));
                if (!leftFilled && (f10 || f11)) face(T(i, j), B(i, j), T(i, j1)), face(B(i, j), B(i, j1), T(i, j1));
                if (leftFilled && !f10 && !f11) face(T(i, j), T(i, j1), B(i, j)), face(B(i, j), T(i, j1), B(i, j1));
            }
        }
    }
    return grid.progress->Poll();
}
