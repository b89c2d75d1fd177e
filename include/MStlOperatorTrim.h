// Trims the surfaces (and features) of a first input by those of a second:
// the first input's triangles are cut exactly along the second input's
// surfaces, classified as inside, outside or neither, and those on the
// chosen side are removed.  Triangles classified neither (lying on the
// second input's surfaces, or not decided, as far from an open second input)
// stay.  Where an input's open border lies on the other input, that border is
// first extended by a strip, so that the other input is cut cleanly there;
// the strips are removed again afterwards.
#pragma once

#include <cstdint>
#include <vector>

#include "host/MProgress.h"
#include "host/MStlItem.h"

class MStlOperatorTrim {
public:
    struct MParams {
        MParams() = default;
        // 0 removes the triangles outside the second input, 1 those inside
        // (on the back of its surfaces).
        uint32_t sideToRemove = 0;
        // How far, in mesh units, open borders lying on the other input are
        // extended before the cut.
        uint32_t extensionLength = 5000;
    };

    MStlOperatorTrim() = default;

    void SetAllParameters(const MParams& params) { m_params = params; }
    const MParams& GetAllParameters() const { return m_params; }
    // Copies both; items other than surfaces and features are ignored.
    void SetInput(const std::vector<MStlItem>& first, const std::vector<MStlItem>& second) {
        m_first = first;
        m_second = second;
    }
    // False, with nothing changed, for an input without surfaces, a surface
    // in both inputs or a side other than 0 and 1.  False after the cut (the
    // meshes then hold the cut but nothing is removed) when a surface of the
    // first input has no triangles left, or when cancelled.
    bool Operate(QelSDK::Common::ProgressPtr progress = nullptr);
    // Of the last Operate.
    uint64_t GetNumberOfRemovedTriangles() const { return m_removed; }

    static void ClearOperator() {}

private:
    MParams m_params;
    std::vector<MStlItem> m_first;
    std::vector<MStlItem> m_second;
    uint64_t m_removed = 0;
};
