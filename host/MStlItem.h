// A part of a mesh handed to an operator: a whole mesh, one surface, or one
// feature standing for all its surfaces.
#pragma once

#include <cstdint>
#include <vector>

#include "host/MStlBase.h"

class MStlItem {
public:
    enum EType : int32_t { eNone = 0, eStl = 1, eSurface = 6, eFeature = 11 };

    MStlItem() = default;
    explicit MStlItem(MStlBase* mesh) : m_type(mesh ? eStl : eNone), m_mesh(mesh) {}
    explicit MStlItem(MStlSurface* surface)
        : m_type(surface ? eSurface : eNone), m_mesh(surface ? surface->GetStl() : nullptr), m_surface(surface) {}
    explicit MStlItem(MStlFeature* feature)
        : m_type(feature ? eFeature : eNone), m_mesh(feature ? feature->GetStl() : nullptr), m_feature(feature) {}

    EType GetType() const { return m_type; }
    MStlBase* GetStl() const { return m_mesh; }
    MStlSurface* GetSurface() const { return m_surface; }
    MStlFeature* GetFeature() const { return m_feature; }

    // The surfaces the item stands for: a surface itself, a feature's
    // surfaces, every surface of a mesh.
    std::vector<MStlSurface*> GetSurfaces() const {
        switch (m_type) {
        case eSurface: return {m_surface};
        case eFeature: return m_feature->GetSurfaces();
        case eStl: {
            std::vector<MStlSurface*> all;
            for (uint32_t i = 0; i < m_mesh->GetNumberOfSurfaces(); ++i) all.push_back(m_mesh->GetSurface(i));
            return all;
        }
        default: return {};
        }
    }

private:
    EType m_type = eNone;
    MStlBase* m_mesh = nullptr;
    MStlSurface* m_surface = nullptr;
    MStlFeature* m_feature = nullptr;
};
