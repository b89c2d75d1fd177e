#include "MStlBaseOperatorBooleanUndercut.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/MBoolean.h"
#include "host/MarchingCubesOffset.h"
#include "host/MStlBaseOperatorFixer.h"
#include "host/MStlOperatorSmallTrianglesFilter.h"
#include "host/MStlTriangleTree.h"

using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

// Thrown when the progress delegate asks to stop; caught by Operate.
struct MBooleanUndercutCancelled {};

void CheckCancel(const QelSDK::Common::BaseProgressReporter& reporter) {
    if (reporter.IsCancelled()) throw MBooleanUndercutCancelled{};
}

// A boolean step's code: cancellation is thrown, anything else but success is false.
bool Succeeded(AU::EReturnCode code) {
    if (code == QelSDK::Triangles::Boolean::eCancelled) throw MBooleanUndercutCancelled{};
    return code == QelSDK::Triangles::Boolean::eSuccess;
}

AU::BooleanParameters Parameters() {
    AU::BooleanParameters p;
    p.checkWholeInput = false;
    p.skipClosedCheck = false;
    p.checkRounding = true;
    return p;
}

// A step run beside the calling thread's own.  The caller's delegate is
// only ever called from the calling thread: what the side step reports and
// polls on another thread is queued, and the calling thread passes it on in
// order, call for call, once its own step is over.  So a run makes the same
// calls to the delegate whichever thread does the work, and a stop asked
// for there reaches the side step at its next poll.
class SideStep final : public QelSDK::Common::IProgressDelegate {
public:
    explicit SideStep(ProgressPtr target) : m_target(std::move(target)), m_caller(std::this_thread::get_id()) {}

    void OnProgress(const std::string& step, double fraction) override {
        if (OnCaller()) {
            if (m_target) m_target->OnProgress(step, fraction);
            return;
        }
        Queue({false, step, fraction});
    }
    bool IsCancelled() const override {
        if (OnCaller()) return Poll();
        return Queue({true, {}, 0.0});
    }

    // Runs `work` (which must not throw) in `group`, unless the calling
    // thread comes to it first.
    void Start(tbb::task_group& group, std::function<void()> work) {
        m_work = std::move(work);
        group.run([this] {
            if (m_claimed.exchange(true)) return;
            m_work();
            const std::lock_guard lock(m_mutex);
            m_done = true;
            m_wake.notify_one();
        });
    }

    // On the calling thread once its own step is over (`stop`: it failed,
    // so the side step's work is not wanted): runs the side step here if no
    // other thread has started it, else passes its calls on until it ends.
    void Finish(bool stop) {
        if (stop) Stop();
        if (!m_claimed.exchange(true)) {
            if (!stop) m_work();
            return;
        }
        std::vector<Call> calls;
        for (bool done = false; !done;) {
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [&] { return !m_calls.empty() || m_done; });
                calls.swap(m_calls);
                done = m_done && calls.empty();
            }
            for (const Call& call : calls) {
                if (!call.poll) {
                    if (m_target) m_target->OnProgress(call.step, call.fraction);
                } else if (!Stopped()) {
                    Poll();
                }
            }
            calls.clear();
        }
    }

private:
    struct Call {
        bool poll;
        std::string step;
        double fraction;
    };

    bool OnCaller() const { return std::this_thread::get_id() == m_caller; }
    // Queues a call from another thread; the stop as it stands.
    bool Queue(Call call) const {
        const std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        m_wake.notify_one();
        return m_stop;
    }
    bool Poll() const {
        if (m_target && m_target->IsCancelled()) Stop();
        return Stopped();
    }
    void Stop() const {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    bool Stopped() const {
        const std::lock_guard lock(m_mutex);
        return m_stop;
    }

    ProgressPtr m_target;
    const std::thread::id m_caller;
    std::function<void()> m_work;
    std::atomic<bool> m_claimed = false;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
    mutable std::vector<Call> m_calls;
    mutable bool m_stop = false;
    bool m_done = false;
};

template <class Step>
void KeepException(std::exception_ptr& thrown, const Step& step) {
    try {
        step();
    } catch (...) {
        thrown = std::current_exception();
    }
}

constexpr int64_t kLowestZ = -2147483647;
constexpr int64_t kHighestZ = 2147483646;
int32_t ClampZ(int64_t z) { return int32_t(std::clamp(z, kLowestZ, kHighestZ)); }

// Repeated triangles, and sheets of two opposite coincident triangles;
// removing them moves no point.
void RemoveSheets(MStlBase& mesh) { AU::RemoveDoubleTrianglesAndUpdateStl(mesh); }

// Sheets, then the small and sliver triangles.  The filter moves points by
// up to 10 units, so it runs only on meshes that need not meet another
// piece exactly afterwards: the upper copy before it is trimmed, and the
// two results.
int SmallTriangleCleanup(MStlBase& mesh) {
    RemoveSheets(mesh);
    MStlOperatorSmallTrianglesFilter filter;
    filter.SetAllParameters(10.0, 0.1, 100000.0, 0, true);
    filter.SetStlItem(MStlItem(&mesh));
    return filter.Operate();
}

void NoiseShellRemoval(MStlBase& mesh) {
    MStlBaseOperatorFixer fixer;
    fixer.SetStl(&mesh);
    fixer.DoNoiseShellRemoval(nullptr);
}

void CopyInto(MStlBase& target, const MStlBase& source) {
    target.ClearStl();
    target.AddStl(source, false);
    target.UpdateExtremes();
}

double ShellVolume(const AU::MStlShell& shell) {
    MStlBase copy;
    AU::CopyShell(copy, shell);
    return copy.Volume();
}

constexpr double kSearchLimit = 10.0;
constexpr double kNearDistance = 3.0;
constexpr int32_t kLift = 3;
constexpr int64_t kNoLevel = std::numeric_limits<int64_t>::min();

// The distance from p to the mesh's surface when it is within the search
// limit, else a negative value; from the mesh's cached triangle tree.
double NearDistance(const MStlTriangleTree& tree, const MMVector3d& p) {
    MStlTriangleTree::Nearest nearest;
    return tree.FindNearest(p, kSearchLimit, nearest) ? nearest.distance : -1.0;
}


// Keeps the shells of `solid` that come within reach of `other`'s surface:
// notch pieces that only meet the lower part elsewhere are noise.
void KeepShellsNear(AU::ExactSolid& solid, const MStlBase& other) {
    const std::shared_ptr<const MStlTriangleTree> tree = other.GetTriangleTree();
    solid.KeepShells([&](const std::vector<std::array<double, 3>>& points) {
        for (const auto& p : points) {
            const double d = NearDistance(*tree, MMVector3d(p[0], p[1], p[2]));
            if (d >= 0.0 && d < kNearDistance) return true;
        }
        return false;
    });
}

}  // namespace

MStlBaseOperatorBooleanUndercut::EReturnCode MStlBaseOperatorBooleanUndercut::Operate(ProgressPtr progress) {
    m_offsetResult = 0;
    if (!m_upper || !m_lower) return eFailure;
    try {
        IncrementalProgressReporter reporter(progress, "Boolean Undercut", 1000);
        return _Operate(reporter);
    } catch (const MBooleanUndercutCancelled&) {
        return eCancelled;
    } catch (...) {
        return eFailure;
    }
}

MStlBaseOperatorBooleanUndercut::EReturnCode MStlBaseOperatorBooleanUndercut::_Operate(
    IncrementalProgressReporter& reporter) {
    const AU::BooleanParameters parameters = Parameters();
    MStlBase cleaned;
    CopyInto(cleaned, *m_upper);
    SmallTriangleCleanup(cleaned);
    NoiseShellRemoval(cleaned);

    const std::unique_ptr<MStlBase> outer = BuildOuterShellStl(m_lower);
    const MStlBase& l = outer ? *outer : *m_lower;

    // The pieces of the upper result are made over exact points and rounded
    // once, at the end: the notch is built on faces of the upper part inside
    // the lower one and meets the part outside on the lower surface, where a
    // rounding between the steps would leave near misses between them.
    AU::ExactSolid upper, lower, whole;
    if (!Succeeded(upper.Load(cleaned, parameters)) || !Succeeded(lower.Load(l, parameters))) return eFailure;
    if (!outer) whole = lower;
    else if (!Succeeded(whole.Load(*m_lower, parameters))) return eFailure;
    // inside: the upper part inside the lower one; outside: the rest of it.
    AU::ExactSolid inside = upper, outside = std::move(upper);
    if (!Succeeded(inside.Intersect(lower)) || !Succeeded(outside.Subtract(lower))) return eFailure;
    ++reporter;
    CheckCancel(reporter);
    const bool upward = m_params.Direction != 0;
    // Downward, the notch hangs under the part outside; upward, the part may
    // lie wholly inside the lower one.
    if (inside.Empty() || (!upward && outside.Empty())) return eEmptyIntermediate;

    // part: what the upper part gains inside the lower one, its own inside
    // part included.  notch: what the hole tool is made from (upward, the
    // notch proper; downward, `part` itself).
    AU::ExactSolid part, notchProper;
    if (!_CreateNotch(inside, lower, upward, part, notchProper, reporter.CreateNestedDelegate(0.4))) return eFailure;
    CheckCancel(reporter);
    if (!outside.Empty()) {
        AU::BooleanParameters loose = parameters;
        loose.checkRounding = false;
        MStlBase outsideMesh;
        if (!Succeeded(outside.Write(outsideMesh, loose))) return eFailure;
        KeepShellsNear(part, outsideMesh);
        if (upward) KeepShellsNear(notchProper, outsideMesh);
    }
    const AU::ExactSolid& notch = upward ? notchProper : part;
    if (notch.Empty()) return eFailure;

    // The upper result and the holed lower part are made side by side, and
    // both meshes change only when both succeeded.
    const ProgressPtr upperProgress = reporter.CreateNestedDelegate(0.1);
    const ProgressPtr holeProgress = reporter.CreateNestedDelegate(0.4);
    MStlBase joinedMesh, holed;
    bool joined = false, hole = false;
    // Each step keeps its exception (a cancellation, say) to itself: one
    // leaving a task would cancel the group and with it the parallel loops
    // the other step is in the middle of, which would then go on with
    // half-made results.  The upper step is isolated so that the calling
    // thread, waiting inside its parallel loops, does not take up the hole
    // step in the middle of it.
    std::exception_ptr thrown[2];
    const auto side = std::make_shared<SideStep>(holeProgress);
    tbb::task_group steps;
    side->Start(steps, [&] { KeepException(thrown[1], [&] { hole = CreateHole(whole, *m_lower, notch, holed, side); }); });
    tbb::this_task_arena::isolate(
        [&] { KeepException(thrown[0], [&] { joined = _JoinUpper(outside, part, joinedMesh, upperProgress); }); });
    side->Finish(thrown[0] != nullptr || !joined);
    steps.wait();
    // A failed upper step stopped the hole step: its failure is the one to
    // report, not the stop it caused.
    if (thrown[0]) std::rethrow_exception(thrown[0]);
    if (!joined) return eFailure;
    if (thrown[1]) std::rethrow_exception(thrown[1]);
    if (!hole) return eFailure;
    CheckCancel(reporter);

    CopyInto(*m_lower, holed);
    m_lower->Update();
    CopyInto(*m_upper, joinedMesh);
    m_upper->Update();
    return eSuccess;
}

// The part outside the lower one joined with the notch piece `part`,
// rounded once into `result` and cleaned.  They meet only on the lower
// surface, in faces of one plane, which the exact union merges whatever
// their triangulations.
bool MStlBaseOperatorBooleanUndercut::_JoinUpper(const AU::ExactSolid& outside, const AU::ExactSolid& part,
                                                 MStlBase& result, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Upper Result", 100);
    const AU::BooleanParameters parameters = Parameters();
    AU::ExactSolid joined = outside.Empty() ? part : outside;
    if (!outside.Empty() && !Succeeded(joined.Unite(part))) return false;
    reporter += 60;
    CheckCancel(reporter);
    if (!Succeeded(joined.Write(result, parameters))) return false;
    SmallTriangleCleanup(result);
    if (!Succeeded(AU::BooleanUnify(result, 0, parameters, reporter.CreateNestedDelegate(0.3)))) return false;
    SmallTriangleCleanup(result);
    NoiseShellRemoval(result);
    CheckCancel(reporter);
    return result.GetNumberOfTriangles() != 0;
}

std::unique_ptr<MStlBase> MStlBaseOperatorBooleanUndercut::BuildOuterShellStl(MStlBase* mesh) {
    const MStlShellManager shells(*mesh);
    if (shells.GetNumberShells() < 2) return nullptr;
    auto outer = std::make_unique<MStlBase>();
    for (uint32_t i = 0; i < shells.GetNumberShells(); ++i)
        if (ShellVolume(shells.GetShell(i)) >= 0.0) AU::CopyShell(*outer, shells.GetShell(i));
    outer->Update();
    return outer;
}

// Sweeps the faces of `inside` that look up (downward notch) or down
// (upward) vertically to a level below (downward) or within the top
// (upward) of it: every connected region of such faces becomes one closed
// prism (see AU::ExactSolid::Swept).  Faces that reach past the level are
// left out, since their prisms would be inside out.
//
// `part` receives the prisms joined with `inside` and cut to the lower
// solid.  Upward, `notch` receives the prisms cut to the lower solid (the
// notch proper); downward the notch is `part` and `notch` stays empty.
bool MStlBaseOperatorBooleanUndercut::_CreateNotch(const AU::ExactSolid& inside, const AU::ExactSolid& lower,
                                                   bool upward, AU::ExactSolid& part, AU::ExactSolid& notch,
                                                   ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Notch Creation", 100);
    const auto [lowest, highest] = inside.ZRange();
    const int32_t level = upward ? ClampZ(int64_t(highest) - 100) : ClampZ(int64_t(lowest) - 100);
    auto selected = [&](double nz, double low, double high) {
        if (upward ? high >= level : low <= level) return false;
        return upward ? nz < 0.0 : nz >= 0.005;
    };
    auto atLevel = [&](double, double, double) { return std::optional<int32_t>(level); };
    if (upward) {
        AU::ExactSolid prisms;
        if (!Succeeded(inside.Swept(selected, atLevel, false, prisms, reporter.CreateNestedDelegate(0.3))) ||
            prisms.Empty())
            return false;
        CheckCancel(reporter);
        part = inside;
        if (!Succeeded(part.Unite(prisms))) return false;
        notch = std::move(prisms);
        if (!Succeeded(notch.Intersect(lower)) || notch.Empty()) return false;
    } else {
        part = inside;
        if (!Succeeded(inside.Swept(selected, atLevel, false, part, reporter.CreateNestedDelegate(0.5)))) return false;
    }
    reporter += 20;
    CheckCancel(reporter);
    if (!Succeeded(part.Intersect(lower))) return false;
    reporter += 25;
    CheckCancel(reporter);
    return !part.Empty();
}

// The notch with every point that lies on or next to the lower surface
// lifted by 3 units, so that the tool reaches through the lower surface
// above the notch (and leaves a floor under a notch that rises from it).
void MStlBaseOperatorBooleanUndercut::_LiftedTool(const MStlBase& lower, const AU::ExactSolid& notch,
                                                  AU::ExactSolid& tool) {
    const std::shared_ptr<const MStlTriangleTree> tree = lower.GetTriangleTree();
    tool = notch;
    tool.Lift(
        [&](double x, double y, double z) {
            const double d = NearDistance(*tree, MMVector3d(x, y, z));
            return d >= 0.0 && d <= kNearDistance;
        },
        kLift);
}

// The notch grown (Offset > 0) or shrunk (Offset < 0) by the volume offset.
// The offset's faces look towards the notch, so a grown tool comes back
// inside out and is turned.  A shrunk tool sinks below the lower surface:
// its upward faces are extended to above the notch.
bool MStlBaseOperatorBooleanUndercut::_OffsetTool(const AU::ExactSolid& notch, AU::ExactSolid& tool,
                                                  IncrementalProgressReporter& reporter) {
    const AU::BooleanParameters parameters = Parameters();
    MStlBase source, offsetMesh;
    if (!Succeeded(notch.Write(source, parameters))) return false;
    MarchingCubesOffset::Parameters p;
    p.Source = &source;
    p.Target = &offsetMesh;
    p.Offset = m_params.Offset;
    p.VoxelSize = std::fabs(m_params.Offset / 5.0);
    p.MaximumVoxelsPerAxis = 2048;
    p.MinimumVoxelSize = 1.0;
    p.Adaptivity = 0.001;
    p.BandVoxels = 5;
    p.MaximumKilobytes = 1000000;
    p.CollapseRatio = 0.2;
    p.CleanupPasses = 2;
    p.FaceSource = true;
    p.RemoveNoiseShells = true;
    MarchingCubesOffset offset;
    offset.SetParameters(p);
    m_offsetResult = offset.Operate(reporter.CreateNestedDelegate(0.7));
    if (m_offsetResult == MarchingCubesOffset::eCancelled) throw MBooleanUndercutCancelled{};
    if (m_offsetResult != MarchingCubesOffset::eSuccess) return false;
    CheckCancel(reporter);
    if (m_params.Offset > 0.0) offsetMesh.Invert();
    if (!Succeeded(tool.Load(offsetMesh, parameters))) return false;
    if (m_params.Offset > 0.0) return true;
    return _ExtendStubs(tool, offsetMesh, source, reporter.CreateNestedDelegate(0.1));
}

// Every upward-facing region of the tool grows a prism reaching 3 units
// above the notch's topmost surface over it: the topmost hit of a vertical
// ray from each corner.  A triangle with a corner whose ray meets no notch
// stays as it is (there is nothing above it to reach through).
bool MStlBaseOperatorBooleanUndercut::_ExtendStubs(AU::ExactSolid& tool, const MStlBase& toolMesh,
                                                   const MStlBase& notch, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Hole Creation . Stub Extension", 100);
    const std::shared_ptr<const MStlTriangleTree> tree = notch.GetTriangleTree();
    const MMVector3d up(0.0, 0.0, 1.0);
    // The level over every point of the tool, by its coordinates.
    std::vector<const MStlPoint*> points;
    for (auto it = toolMesh.BeginPoint(); it != toolMesh.EndPoint(); ++it) points.push_back(*it);
    std::vector<int64_t> levels(points.size(), kNoLevel);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, points.size()), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t k = r.begin(); k != r.end(); ++k) {
            double top = -std::numeric_limits<double>::infinity();
            for (const MStlTriangleTree::Hit& hit :
                 tree->CastRayAll(points[k]->GetVector(), up, std::numeric_limits<double>::infinity()))
                if (std::fabs(hit.triangle->GetNormal()[2]) >= 4.470348358154297e-8) top = std::max(top, hit.point[2]);
            if (std::isfinite(top)) levels[k] = int64_t(std::trunc(top)) + kLift;
        }
    });
    CheckCancel(reporter);
    std::map<std::array<int32_t, 3>, int32_t> levelAt;
    for (size_t k = 0; k < points.size(); ++k)
        if (levels[k] != kNoLevel) levelAt[{points[k]->GetX(), points[k]->GetY(), points[k]->GetZ()}] = ClampZ(levels[k]);
    auto level = [&](double x, double y, double z) -> std::optional<int32_t> {
        const auto it = levelAt.find({int32_t(x), int32_t(y), int32_t(z)});
        if (it == levelAt.end()) return std::nullopt;
        return it->second;
    };
    auto facingUp = [](double nz, double, double) { return nz > 0.0; };
    AU::ExactSolid grown = tool;
    if (!Succeeded(tool.Swept(facingUp, level, true, grown, reporter.CreateNestedDelegate(0.5)))) return false;
    tool = std::move(grown);
    CheckCancel(reporter);
    return true;
}

// `holed`: the lower mesh less the hole tool (lifted points for Offset 0,
// else the volume offset), rounded once and cleaned.  A tool that cannot
// be made fails the hole, and with it the operation, rather than leaving
// the lower mesh without its hole.
bool MStlBaseOperatorBooleanUndercut::CreateHole(const AU::ExactSolid& lower, const MStlBase& lowerMesh,
                                                 const AU::ExactSolid& notch, MStlBase& holed, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Hole Creation", 100);
    if (!std::isfinite(m_params.Offset)) return false;
    AU::ExactSolid tool;
    if (m_params.Offset == 0.0) _LiftedTool(lowerMesh, notch, tool);
    else if (!_OffsetTool(notch, tool, reporter)) return false;
    CheckCancel(reporter);
    AU::ExactSolid result = lower;
    if (!Succeeded(result.Subtract(tool))) return false;
    reporter += 10;
    CheckCancel(reporter);
    if (!Succeeded(result.Write(holed, Parameters()))) return false;
    SmallTriangleCleanup(holed);
    NoiseShellRemoval(holed);
    CheckCancel(reporter);
    return holed.GetNumberOfTriangles() != 0;
}
