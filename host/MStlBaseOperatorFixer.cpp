#include "host/MStlBaseOperatorFixer.h"

#include <algorithm>
#include <cmath>
#include <vector>

using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

struct ShellMeasure {
    double area = 0.0;
    double volume = 0.0;  // six times the signed volume, from the corners
    bool closed = true;
};

ShellMeasure Measure(const std::vector<MStlTriangleElement*>& shell) {
    ShellMeasure m;
    for (const MStlTriangleElement* t : shell) {
        m.area += t->Area();
        const MMVector3d a = t->GetPoint(0)->GetVector(), b = t->GetPoint(1)->GetVector(),
                         c = t->GetPoint(2)->GetVector();
        m.volume += a.Dot(b.Cross(c));
        for (int e = 0; e < 3 && m.closed; ++e) m.closed = t->FindAdjacentTriangle(e) != nullptr;
    }
    return m;
}

}  // namespace

uint32_t MStlBaseOperatorFixer::DoNoiseShellRemoval(ProgressPtr progress) {
    if (!m_mesh) return 0;
    IncrementalProgressReporter reporter(progress, "MStlBaseOperatorFixer.DoNoiseShellRemoval", 2);
    const MStlShellManager shells(*m_mesh);
    const uint32_t n = shells.GetNumberShells();
    if (n < 2) return 0;
    std::vector<ShellMeasure> measures(n);
    uint32_t main = 0;
    double largestVolume = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        measures[i] = Measure(shells.GetShell(i));
        if (measures[i].area > measures[main].area) main = i;
        if (measures[i].closed) largestVolume = std::max(largestVolume, std::fabs(measures[i].volume));
    }
    ++reporter;
    if (reporter.IsCancelled()) return 0;
    const double largestArea = measures[main].area;
    uint32_t removed = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (i == main) continue;
        const ShellMeasure& m = measures[i];
        const bool noise = shells.GetShell(i).size() < 4 ||
                           (m.closed && std::fabs(m.volume) <= kNoiseVolume * largestVolume) ||
                           m.area <= kNoiseArea * largestArea;
        if (!noise) continue;
        for (MStlTriangleElement* t : shells.GetShell(i)) m_mesh->RemoveTriangle(t);
        ++removed;
    }
    if (removed) {
        m_mesh->RemoveFreePoints();
        m_mesh->Update();
    }
    ++reporter;
    return removed;
}
