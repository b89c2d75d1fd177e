// Meshes the tests share.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <random>
#include <set>
#include <string>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "MCutter.h"

// A sphere with every point moved by up to `amount` grid steps in each
// coordinate: a stand-in for a scanned surface.
inline void GenerateRoughSphere(MStlBase& mesh, double radius, uint64_t triangles, int amount, std::mt19937& random) {
    GenerateSphere(mesh, radius, triangles);
    std::uniform_int_distribution<int> jitter(-amount, amount);
    MStlBaseOperatorHelperDirectPointChange change(mesh, true);
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
        it->SetCoordinatesFast(it->GetX() + jitter(random), it->GetY() + jitter(random), it->GetZ() + jitter(random));
}

inline ::testing::AssertionResult Sound(const MStlBase& mesh) {
    const MeshReport r = CheckMesh(mesh);
    if (r.closed && r.oriented && r.volume >= 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << FormatReport(r);
}

// How far the volumes may drift because the cut's new points are rounded
// to the integer grid: a point moved by d changes the volume by at most d
// times a third of the area of its triangles, and d <= sqrt(3)/2.  The cut
// surfaces are shared by both results and cancel out.
inline double GridBound(const MStlBase& result, const MStlBase& input) {
    double bound = 0.0;
    for (auto it = result.BeginTriangle(); it != result.EndTriangle(); ++it) {
        if (it->GetStatus() & MCutter::kFill) continue;
        int moved = 0;
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* p = it->GetPoint(i);
            moved += input.GetPoint(p->GetX(), p->GetY(), p->GetZ()) == nullptr;
        }
        bound += moved * it->Area() * std::sqrt(3.0) / 6.0;
    }
    return bound;
}


// A progress delegate that cancels once it has been asked `allowed` times,
// and records the names of the steps it saw.
class CancelAfter final : public QelSDK::Common::IProgressDelegate {
public:
    explicit CancelAfter(int allowed) : m_allowed(allowed) {}
    void OnProgress(const std::string& step, double) override { steps.insert(step); }
    bool IsCancelled() const override { return --m_allowed < 0; }
    std::set<std::string> steps;

private:
    mutable int m_allowed;
};

// A progress delegate whose n-th poll fails as an allocation would.
class FailAllocationAt final : public QelSDK::Common::IProgressDelegate {
public:
    explicit FailAllocationAt(int n) : m_left(n) {}
    void OnProgress(const std::string&, double) override {}
    bool IsCancelled() const override {
        if (--m_left == 0) throw std::bad_alloc();
        return false;
    }

private:
    mutable int m_left;
};

// Two boxes as one mesh: closed and oriented, and intersecting itself
// where they overlap.
inline void TwoBoxes(MStlBase& mesh, MMVector3l lo1, MMVector3l hi1, MMVector3l lo2, MMVector3l hi2) {
    MStlBase second;
    GenerateBox(mesh, lo1, hi1, 1);
    GenerateBox(second, lo2, hi2, 1);
    mesh.AddStl(second, false);
    mesh.Update();
}
