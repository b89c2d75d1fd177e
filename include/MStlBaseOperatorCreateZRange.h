// Copies the part of a mesh between two heights into an output mesh: the
// copy is cut at both heights in place and the openings are left open.
#pragma once

#include <climits>
#include <memory>

#include "host/MStlBase.h"

class MStlBaseOperatorCreateZRange {
public:
    void SetInput(MStlBase* input) { m_input = input; }
    void SetOutput(MStlBase* output) { m_output = output; }
    // Heights in internal units.  The third argument is kept for callers
    // that pass it; the operation does not read it.
    void SetRange(long lower, long upper, bool flag = false) { m_lower = lower; m_upper = upper; m_flag = flag; }

    // False when the input or the output is missing, they are the same mesh,
    // or the caller cancelled; true otherwise (also when a height misses
    // the mesh).
    bool Operate(QelSDK::Common::ProgressPtr progress = nullptr);

private:
    void CopyTriangles();
    void CopyEdges();
    bool CutOff(QelSDK::Common::ProgressPtr progress);

    long m_lower = INT32_MIN;
    long m_upper = INT32_MAX;
    MStlBase* m_input = nullptr;
    MStlBase* m_output = nullptr;
    bool m_flag = false;
};
