// The factor between model lengths and integer coordinate steps.
#pragma once

#include <atomic>
#include <cmath>

namespace QelSDK::Common {
// One model length unit is Get() integer steps.  With the default 1000 steps
// per unit (a micrometre grid for models in millimetres) coordinates span
// ±2,147,483 model units.
//
// The factor may be changed once, with Set, before the first mesh is made:
// every mesh's coordinates are in the steps that held when it was made, so
// the factor is fixed from then on for the life of the process.
class MInternalUnits {
public:
    static constexpr double kDefaultStepsPerUnit = 1000.0;

    static double Get() { return s_steps; }
    static double GetInverse() { return s_inverse; }

    // Sets the steps per model unit.  False (and nothing changed) when a mesh
    // has been made already, or the factor is not a finite number of at least
    // 1e-6 and at most 1e9.
    static bool Set(double stepsPerUnit) {
        if (!(std::isfinite(stepsPerUnit) && stepsPerUnit >= 1e-6 && stepsPerUnit <= 1e9)) return false;
        if (s_frozen.load(std::memory_order_acquire)) return false;
        s_steps = stepsPerUnit;
        s_inverse = 1.0 / stepsPerUnit;
        return true;
    }
    // Called by every new mesh: from then on Set refuses.
    static void Freeze() {
        if (!s_frozen.load(std::memory_order_relaxed)) s_frozen.store(true, std::memory_order_release);
    }
    static bool IsFrozen() { return s_frozen.load(std::memory_order_acquire); }

private:
    inline static double s_steps = kDefaultStepsPerUnit;
    inline static double s_inverse = 1.0 / kDefaultStepsPerUnit;
    inline static std::atomic<bool> s_frozen{false};
};
}  // namespace QelSDK::Common
