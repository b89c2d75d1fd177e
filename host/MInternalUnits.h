// The factor between model lengths and integer coordinate steps.
#pragma once

namespace QelSDK::Common {
// One model length unit is Get() integer steps.  With 1000 steps per unit
// (a micrometre grid for models in millimetres) coordinates span
// ±2,147,483 model units.
class MInternalUnits {
public:
    static constexpr double kStepsPerUnit = 1000.0;
    static double Get() { return kStepsPerUnit; }
    static double GetInverse() { return 1.0 / kStepsPerUnit; }
};
}  // namespace QelSDK::Common
