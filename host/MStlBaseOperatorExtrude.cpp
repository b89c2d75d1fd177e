#include "host/MStlBaseOperatorExtrude.h"

#include <cmath>

#include "host/MInternalUnits.h"
#include "host/MStlBorderFiller.h"

bool MStlBaseOperatorExtrude::Operate() {
    const double length = m_direction.Length();
    if (!m_result || !(length > 0.0) || !std::isfinite(length)) return false;
    const MMVector3d unit = m_direction * (1.0 / length);
    for (const auto& contour : m_contours)
        if (!_ExtrudeContour(contour, unit)) return false;
    return true;
}

bool MStlBaseOperatorExtrude::_ExtrudeContour(const std::vector<MMVector3d>& contour, const MMVector3d& unit) {
    const size_t n = contour.size();
    if (n < 3) return false;
    const double units = QelSDK::Common::MInternalUnits::Get();
    MStlBase prism;
    std::vector<MStlPoint*> top(n), bottom(n);
    for (size_t i = 0; i < n; ++i) {
        top[i] = prism.AddPoint(contour[i] + unit * (m_forward * units), true);
        bottom[i] = prism.AddPoint(contour[i] - unit * (m_backward * units), true);
        if (!top[i] || !bottom[i]) return false;
    }
    MStlSurface* walls = prism.AddSurface();
    for (size_t i = 0; i < n; ++i) {
        const size_t j = (i + 1) % n;
        walls->AddTriangle(bottom[i], bottom[j], top[j]);
        walls->AddTriangle(bottom[i], top[j], top[i]);
    }
    // Each cap runs along its contour opposite to the walls, so that every
    // edge is used once each way.
    for (const bool isTop : {true, false}) {
        MStlCutBorder border;
        auto* c = border.AddContour();
        for (size_t k = 0; k < n; ++k) {
            MStlPoint* p = isTop ? top[k] : bottom[n - 1 - k];
            c->AddPoint(p->GetX(), p->GetY(), p->GetZ(), p);
        }
        c->SetClosed(true);
        MStlBorderFiller filler;
        filler.SetStl(&prism);
        filler.SetOutputSurface(prism.AddSurface());
        filler.SetInputBorder(&border);
        filler.SetAddTriangles(true);
        if (!filler.Operate()) return false;
    }
    if (prism.Volume() < 0.0) prism.Invert();
    m_result->AddStl(prism, true);
    return true;
}
