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

// Repeated triangles, and sheets of two opposite coincident triangles, are
// what appending prisms leaves behind; removing them moves no point.
void RemoveSheets(MStlBase& mesh) { AU::RemoveDoubleTrianglesAndUpdateStl(mesh); }

// Sheets, then the small and sliver triangles.  The filter moves points by
// up to 10 units, so it runs only on meshes that need not meet another
// piece exactly afterwards: the upper copy before it is trimmed, and the
// two results.  The notch pieces keep the trimmed faces they were built on
// exactly; a moved point there would leave near misses between the pieces
// that the later booleans cannot round.
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


// The edge-connected regions of the faces `selected` picks, numbered by
// triangle slot.
template <class Selected>
std::vector<uint32_t> SelectedRegions(const MStlBase& mesh, const Selected& selected) {
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t> region(mesh.GetNumberOfTriangleSlots(), kNone);
    uint32_t regions = 0;
    std::vector<const MStlTriangle*> stack;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        if (region[it->GetIndex()] != kNone || !selected(*it)) continue;
        region[it->GetIndex()] = regions;
        stack.assign(1, *it);
        while (!stack.empty()) {
            const MStlTriangle* t = stack.back();
            stack.pop_back();
            for (int i = 0; i < 3; ++i) {
                const MStlTriangle* across = t->FindAdjacentTriangle(i);
                if (!across || region[across->GetIndex()] != kNone || !selected(across)) continue;
                region[across->GetIndex()] = regions;
                stack.push_back(across);
            }
        }
        ++regions;
    }
    return region;
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
    MStlBase a, b;
    CopyInto(b, *m_upper);
    SmallTriangleCleanup(b);
    NoiseShellRemoval(b);

    const std::unique_ptr<MStlBase> outer = BuildOuterShellStl(m_lower);
    const MStlBase& l = outer ? *outer : *m_lower;

    // a: the upper part inside the lower one; b: the rest of the upper part.
    // Both come from one exact intersection curve, rounded together, so they
    // meet on the same points of the lower surface.
    if (!Succeeded(AU::BooleanTrimBothSides(b, l, a, b, parameters, reporter.CreateNestedDelegate(0.12))))
        return eFailure;
    CheckCancel(reporter);
    const bool upward = m_params.Direction != 0;
    // Downward, the notch hangs under the part outside; upward, the part may
    // lie wholly inside the lower one.
    if (a.GetNumberOfTriangles() == 0 || (!upward && b.GetNumberOfTriangles() == 0)) return eEmptyIntermediate;

    // part: what the upper part gains inside the lower one, its own inside
    // part included.  Upward, a becomes the notch the hole tool is made
    // from; downward that notch is `part` itself.
    MStlBase part;
    const bool built = upward ? _CreateNotchUp(a, l, part, reporter.CreateNestedDelegate(0.4))
                              : _CreateNotchDown(a, l, part, reporter.CreateNestedDelegate(0.4));
    if (!built) return eFailure;
    CheckCancel(reporter);

    if (b.GetNumberOfTriangles() != 0) {
        _FilterShells(part, b);
        if (upward) _FilterShells(a, b);
    }
    // The upper result and the holed lower part only read the notch pieces:
    // they are made side by side, and both meshes change only when both
    // succeeded.
    const ProgressPtr upperProgress = reporter.CreateNestedDelegate(0.1);
    const ProgressPtr holeProgress = reporter.CreateNestedDelegate(0.4);
    MStlBase holed;
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
    side->Start(steps, [&] {
        KeepException(thrown[1], [&] { hole = CreateHole(*m_lower, upward ? a : part, holed, side); });
    });
    tbb::this_task_arena::isolate(
        [&] { KeepException(thrown[0], [&] { joined = _JoinUpper(b, part, upperProgress); }); });
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
    CopyInto(*m_upper, b);
    m_upper->Update();
    return eSuccess;
}

// b, the upper part outside the lower one, joined with the notch piece
// `part` and cleaned.  b lies outside the lower part and `part` inside it:
// they meet only on the lower surface, in coplanar faces, which the exact
// union merges whatever their triangulations.
bool MStlBaseOperatorBooleanUndercut::_JoinUpper(MStlBase& b, const MStlBase& part, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Upper Result", 100);
    const AU::BooleanParameters parameters = Parameters();
    if (b.GetNumberOfTriangles() == 0) CopyInto(b, part);
    else if (!Succeeded(AU::BooleanUnite({&b, &part}, b, parameters, reporter.CreateNestedDelegate(0.6))))
        return false;
    CheckCancel(reporter);
    SmallTriangleCleanup(b);
    if (!Succeeded(AU::BooleanUnify(b, 0, parameters, reporter.CreateNestedDelegate(0.3)))) return false;
    SmallTriangleCleanup(b);
    NoiseShellRemoval(b);
    CheckCancel(reporter);
    return true;
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

bool MStlBaseOperatorBooleanUndercut::_CreateNotchUp(MStlBase& mesh, const MStlBase& lower, MStlBase& part,
                                                     ProgressPtr progress) {
    return _CreateNotch(mesh, lower, true, part, progress);
}

bool MStlBaseOperatorBooleanUndercut::_CreateNotchDown(MStlBase& mesh, const MStlBase& lower, MStlBase& part,
                                                       ProgressPtr progress) {
    return _CreateNotch(mesh, lower, false, part, progress);
}

// Sweeps the selected faces vertically to a level below (downward) or
// within the top (upward) of the mesh: every connected selected region
// becomes one closed prism.  Faces that reach past the level are left out,
// since their prisms would be inside out.
//
// `part` receives the prisms joined with the mesh and cut to the lower
// mesh.  The prisms are built on the mesh's own faces and edges, so the
// join meets no near miss; the cut to the lower mesh re-divides the faces
// lying on its surface, which only matters where `part` meets other pieces
// on that surface.  Upward, the mesh is replaced by the prisms cut to the
// lower mesh (the notch proper); downward, the prisms hold the mesh, the
// notch is `part` and the mesh is cleared.
bool MStlBaseOperatorBooleanUndercut::_CreateNotch(MStlBase& mesh, const MStlBase& lower, bool upward, MStlBase& part,
                                                   ProgressPtr progress) {
    if (mesh.GetNumberOfTriangles() == 0 || lower.GetNumberOfTriangles() == 0) return false;
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Notch Creation", 100);
    const AU::BooleanParameters parameters = Parameters();
    mesh.UpdateExtremes();
    const int32_t level = upward ? ClampZ(int64_t(mesh.GetZMax()) - 100) : ClampZ(int64_t(mesh.GetZMin()) - 100);
    auto selected = [&](const MStlTriangle* t) {
        const double nz = t->GetNormal()[2];
        for (int i = 0; i < 3; ++i) {
            const int32_t z = t->GetPoint(i)->GetZ();
            if (upward ? z >= level : z <= level) return false;
        }
        return upward ? nz < 0.0 : nz >= 0.005;
    };

    // Each edge-connected region of selected faces becomes a prism with
    // points of its own: prisms of regions at different heights over the
    // same ground would otherwise share points on their walls and at the
    // level, pinched there, and could not be joined.  Overlapping prisms are
    // joined by the union below.
    const std::vector<uint32_t> region = SelectedRegions(mesh, selected);
    std::map<std::array<int32_t, 4>, MStlPoint*> pointOf;
    MStlBase notch;
    auto point = [&](uint32_t r, int32_t x, int32_t y, int32_t z) {
        MStlPoint*& p = pointOf[{int32_t(r), x, y, z}];
        if (!p) p = notch.AddPoint(x, y, z, true);
        return p;
    };
    const uint64_t every = std::max<uint64_t>(1, mesh.GetNumberOfTriangles() / 40);
    uint64_t count = 0;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        if (++count % every == 0) {
            ++reporter;
            CheckCancel(reporter);
        }
        const MStlTriangle* t = *it;
        if (!selected(t)) continue;
        const uint32_t r = region[t->GetIndex()];
        MStlPoint *p[3], *q[3];
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* c = t->GetPoint(i);
            p[i] = point(r, c->GetX(), c->GetY(), c->GetZ());
            q[i] = point(r, c->GetX(), c->GetY(), level);
        }
        for (int i = 0; i < 3; ++i) {
            const int j = (i + 1) % 3;
            const MStlTriangle* across = t->FindAdjacentTriangle(i);
            if (across && selected(across)) continue;
            notch.AddTriangle(p[j], p[i], q[i]);
            notch.AddTriangle(p[j], q[i], q[j]);
        }
        if (q[0] != q[1] && q[1] != q[2] && q[0] != q[2])
            if (MStlTriangleElement* cap = notch.AddTriangle(q[0], q[1], q[2])) cap->Invert();
        notch.AddTriangle(p[0], p[1], p[2]);
    }
    notch.Update();

    RemoveSheets(notch);
    if (!Succeeded(AU::BooleanUnify(notch, 0, parameters, reporter.CreateNestedDelegate(0.1)))) return false;
    CheckCancel(reporter);
    RemoveSheets(notch);
    MStlBase joined;
    if (!Succeeded(AU::BooleanUnite({&notch, &mesh}, joined, parameters, reporter.CreateNestedDelegate(0.15))))
        return false;
    CheckCancel(reporter);
    if (!Succeeded(AU::BooleanIntersect({&lower, &joined}, part, parameters, reporter.CreateNestedDelegate(0.35))))
        return false;
    CheckCancel(reporter);
    mesh.ClearStl();
    if (upward) {
        if (!Succeeded(AU::BooleanIntersect({&lower, &notch}, mesh, parameters, reporter.CreateNestedDelegate(0.35))))
            return false;
        mesh.UpdateExtremes();
        if (mesh.GetNumberOfTriangles() == 0) return false;
    }
    part.UpdateExtremes();
    return part.GetNumberOfTriangles() > 0;
}

void MStlBaseOperatorBooleanUndercut::_FilterShells(MStlBase& mesh, const MStlBase& other) {
    RemoveSheets(mesh);
    const MStlShellManager shells(mesh);
    const uint32_t n = shells.GetNumberShells();
    if (n < 2) return;
    const std::shared_ptr<const MStlTriangleTree> tree = other.GetTriangleTree();
    std::vector<uint8_t> keep(n, 0);
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, n), [&](const tbb::blocked_range<uint32_t>& r) {
        for (uint32_t s = r.begin(); s != r.end(); ++s)
            for (const MStlTriangleElement* t : shells.GetShell(s)) {
                for (int i = 0; i < 3 && !keep[s]; ++i) {
                    const double d = NearDistance(*tree, t->GetPoint(i)->GetVector());
                    keep[s] = d >= 0.0 && d < kNearDistance;
                }
                if (keep[s]) break;
            }
    });
    mesh.InitStatusOfTriangles(0);
    for (uint32_t s = 0; s < n; ++s)
        if (!keep[s])
            for (MStlTriangleElement* t : shells.GetShell(s)) t->SetStatus(1);
    mesh.RemoveTrianglesIf([](const MStlTriangle& t) { return t.GetStatus() == 1; });
    mesh.RemoveFreePoints();
    mesh.Update();
}

// The notch with every point that lies on or next to the lower surface
// lifted by 3 units, so that the tool reaches through the lower surface
// above the notch and the subtraction leaves no skin there.
void MStlBaseOperatorBooleanUndercut::_LiftedTool(const MStlBase& lower, const MStlBase& notch, MStlBase& tool,
                                                  IncrementalProgressReporter& reporter) {
    CopyInto(tool, notch);
    std::vector<MStlPoint*> points;
    for (auto it = tool.BeginPoint(); it != tool.EndPoint(); ++it) points.push_back(*it);
    std::vector<uint8_t> lift(points.size(), 0);
    const std::shared_ptr<const MStlTriangleTree> tree = lower.GetTriangleTree();
    const size_t chunk = size_t(tool.GetNumberOfTriangles() / 70 + 1);
    for (size_t begin = 0; begin < points.size(); begin += chunk) {
        const size_t end = std::min(points.size(), begin + chunk);
        tbb::parallel_for(tbb::blocked_range<size_t>(begin, end), [&](const tbb::blocked_range<size_t>& r) {
            for (size_t k = r.begin(); k != r.end(); ++k) {
                const double d = NearDistance(*tree, points[k]->GetVector());
                lift[k] = d >= 0.0 && d <= kNearDistance;
            }
        });
        ++reporter;
        CheckCancel(reporter);
    }
    MStlBaseOperatorHelperDirectPointChange change(tool, true);
    for (size_t k = 0; k < points.size(); ++k)
        if (lift[k])
            points[k]->SetCoordinatesFast(points[k]->GetX(), points[k]->GetY(),
                                          ClampZ(int64_t(points[k]->GetZ()) + kLift));
}

// The notch grown (Offset > 0) or shrunk (Offset < 0) by the volume offset.
// The offset's faces look towards the notch, so a grown tool comes back
// inside out and is turned.  A shrunk tool sinks below the lower surface:
// its upward faces are extended to above the notch.
bool MStlBaseOperatorBooleanUndercut::_OffsetTool(const MStlBase& notch, MStlBase& tool,
                                                  IncrementalProgressReporter& reporter) {
    MarchingCubesOffset::Parameters p;
    p.Source = &notch;
    p.Target = &tool;
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
    if (m_params.Offset > 0.0) {
        tool.Invert();
        return true;
    }
    return _ExtendStubs(tool, notch, reporter.CreateNestedDelegate(0.1));
}

// Every upward-facing region of the tool becomes a prism reaching 3 units
// above the notch's topmost surface over it: the topmost hit of a vertical
// ray from each corner.  A triangle with a corner whose ray meets no notch
// stays as it is (there is nothing above it to reach through).
bool MStlBaseOperatorBooleanUndercut::_ExtendStubs(MStlBase& tool, const MStlBase& notch, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Hole Creation . Stub Extension", 100);
    const std::shared_ptr<const MStlTriangleTree> tree = notch.GetTriangleTree();
    const MMVector3d up(0.0, 0.0, 1.0);
    // The cap level over every point of the tool, or none.
    std::vector<MStlPoint*> points;
    for (auto it = tool.BeginPoint(); it != tool.EndPoint(); ++it) points.push_back(*it);
    std::vector<int64_t> level(tool.GetNumberOfPointSlots(), kNoLevel);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, points.size()), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t k = r.begin(); k != r.end(); ++k) {
            double top = -std::numeric_limits<double>::infinity();
            for (const MStlTriangleTree::Hit& hit :
                 tree->CastRayAll(points[k]->GetVector(), up, std::numeric_limits<double>::infinity()))
                if (std::fabs(hit.triangle->GetNormal()[2]) >= 4.470348358154297e-8) top = std::max(top, hit.point[2]);
            if (std::isfinite(top)) level[points[k]->GetIndex()] = int64_t(std::trunc(top)) + kLift;
        }
    });
    CheckCancel(reporter);
    // Which triangles are extended: facing up (a vertical one would make a
    // prism without volume) with a level over every corner.
    tool.InitStatusOfTriangles(0);
    std::vector<MStlTriangleElement*> extended;
    for (auto it = tool.BeginTriangle(); it != tool.EndTriangle(); ++it) {
        bool reaches = it->GetNormal()[2] > 0.0;
        for (int i = 0; i < 3 && reaches; ++i) reaches = level[it->GetPoint(i)->GetIndex()] != kNoLevel;
        if (!reaches) continue;
        it->SetStatus(1);
        extended.push_back(*it);
    }
    const size_t every = std::max<size_t>(1, extended.size() / 50);
    for (size_t n = 0; n < extended.size(); ++n) {
        if ((n + 1) % every == 0) {
            ++reporter;
            CheckCancel(reporter);
        }
        const MStlTriangleElement* t = extended[n];
        MStlPoint *p[3], *q[3];
        for (int i = 0; i < 3; ++i) {
            p[i] = t->GetPoint(i);
            q[i] = tool.AddPoint(p[i]->GetX(), p[i]->GetY(), ClampZ(level[p[i]->GetIndex()]));
        }
        for (int i = 0; i < 3; ++i) {
            const int j = (i + 1) % 3;
            const MStlTriangleElement* across = t->FindAdjacentTriangle(i);
            if (across && across->GetStatus() == 1) continue;
            if (MStlTriangleElement* w = tool.AddTriangle(p[j], q[i], p[i])) w->SetStatus(2);
            if (MStlTriangleElement* w = tool.AddTriangle(p[j], q[j], q[i])) w->SetStatus(2);
        }
        if (MStlTriangleElement* cap = tool.AddTriangle(q[0], q[1], q[2])) cap->SetStatus(2);
    }
    CheckCancel(reporter);
    tool.RemoveTrianglesIf([](const MStlTriangle& t) { return t.GetStatus() == 1; });
    tool.RemoveFreePoints();
    tool.Update();
    CheckCancel(reporter);
    return Succeeded(AU::BooleanUnify(tool, 0, Parameters(), reporter.CreateNestedDelegate(0.5)));
}

// `holed`: the lower mesh less the hole tool (lifted points for Offset 0,
// else the volume offset), cleaned.  A tool that cannot be made fails the
// hole, and with it the operation, rather than leaving the lower mesh
// without its hole.
bool MStlBaseOperatorBooleanUndercut::CreateHole(const MStlBase& lower, const MStlBase& notch, MStlBase& holed,
                                                 ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "Boolean Undercut . Hole Creation", 100);
    if (!std::isfinite(m_params.Offset)) return false;
    MStlBase tool;
    if (m_params.Offset == 0.0) _LiftedTool(lower, notch, tool, reporter);
    else if (!_OffsetTool(notch, tool, reporter)) return false;
    CheckCancel(reporter);
    const AU::BooleanParameters parameters = Parameters();
    if (!Succeeded(AU::BooleanSubtract({&lower}, {&tool}, holed, parameters, reporter.CreateNestedDelegate(0.2))))
        return false;
    CheckCancel(reporter);
    SmallTriangleCleanup(holed);
    NoiseShellRemoval(holed);
    CheckCancel(reporter);
    return true;
}
