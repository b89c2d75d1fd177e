#include "MStlBaseOperatorCreateZRange.h"

#include "MStlBaseOperatorPlaneCut.h"

bool MStlBaseOperatorCreateZRange::Operate(QelSDK::Common::ProgressPtr progress) {
    if (!m_input || !m_output || m_input == m_output) return false;
    QelSDK::Common::IncrementalProgressReporter reporter(progress, "QelStlCutting.MStlBaseOperatorCreateZRange.Operate",
                                                         1000, false);
    CopyTriangles();
    CopyEdges();
    return CutOff(reporter.CreateNestedDelegate(1.0));
}

void MStlBaseOperatorCreateZRange::CopyTriangles() {
    MStlSharedCloner cloner(*m_input, *m_output);
    const MStlTextureFactory* textures = m_input->GetTextureFactory();
    if (textures) {
        for (uint32_t i = 0; i < textures->GetNumberOfTextures(); ++i) {
            const MStlTexture* source = textures->GetTexture(i);
            MStlTexture* target = m_output->GetTextureFactory()->AddTexture();
            target->CopyImageProperties(*source);
            cloner.GetTreeCopy().SetDestination(source, target);
        }
    }
    MStlBaseCopyTriangleAttributes attributes(*m_input, *m_output, true);
    // Each input point is looked up in the output once.
    std::vector<MStlPoint*> mapped(m_input->GetNumberOfPointSlots(), nullptr);
    auto map = [&](const MStlPoint* p) {
        MStlPoint*& m = mapped[p->GetIndex()];
        if (!m) m = m_output->AddPoint(p, false);
        return m;
    };
    for (auto it = m_input->BeginTriangle(); it != m_input->EndTriangle(); ++it) {
        const MStlTriangleElement* source = *it;
        MStlTriangleElement* added =
            m_output->AddTriangle(map(source->GetPoint(0)), map(source->GetPoint(1)), map(source->GetPoint(2)), nullptr);
        if (!added) continue;
        added->CopyStateFrom(*source, true, true, true, false, true, true);
        if (!textures) continue;
        for (uint32_t i = 0; i < textures->GetNumberOfTextures(); ++i) {
            const MStlTexture* texture = textures->GetTexture(i);
            MStlTexture::Coordinates coordinates;
            if (texture->HasTriangle(source) && texture->GetCoordinates(source, coordinates, true))
                cloner.GetTreeCopy().GetDestination(texture, true)->AddTriangle(added, coordinates, true);
        }
    }
}

void MStlBaseOperatorCreateZRange::CopyEdges() {
    MStlSharedCloner cloner(*m_input, *m_output);
    for (const MStlEdge& e : m_input->GetEdges()) {
        const long z0 = e.p0->GetZ(), z1 = e.p1->GetZ();
        if ((z0 < m_lower && z1 < m_lower) || (z0 > m_upper && z1 > m_upper)) continue;
        cloner.CloneEdge(e);
    }
}

bool MStlBaseOperatorCreateZRange::CutOff(QelSDK::Common::ProgressPtr progress) {
    QelSDK::Common::IncrementalProgressReporter reporter(progress, "QelStlCutting.MStlBaseOperatorCreateZRange._CutOff",
                                                         1000, false);
    const MMPlaneEq<double> planes[2] = {{0.0, 0.0, 1.0, -double(m_lower)}, {0.0, 0.0, -1.0, double(m_upper)}};
    for (const MMPlaneEq<double>& plane : planes) {
        MStlBaseOperatorPlaneCut cut;
        cut.SetStl(m_output);
        cut.SetPlane(plane);
        cut.SetCutInputStl(true);
        cut.SetFillSection(false);
        cut.Operate(reporter.CreateNestedDelegate(0.5));
        if (reporter.IsCancelled()) return false;
    }
    return true;
}
