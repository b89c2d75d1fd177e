#include "MCutter.h"

#include "cutter/MCutEdge.h"
#include "host/MFileName.h"

namespace {
bool NeverIgnore(MStlTriangle*) { return false; }

MStlBase* Duplicate(const MStlBase* mesh) { return mesh ? mesh->Clone().release() : nullptr; }
}  // namespace

MCutter::MCutter() { ResetCustomTriangleIgnoreFunction(); }

MCutter::~MCutter() {
    ReleaseEdgeList();
    ReleaseResults();
    ReleaseWorking();
}

MCutter::MCutter(const MCutter& other) : m_profile(other.m_profile) { CopySettingsFrom(other); }

MCutter& MCutter::operator=(const MCutter& other) {
    if (this == &other) return *this;
    ReleaseEdgeList();
    ReleaseResults();
    ReleaseWorking();
    m_profile = other.m_profile;
    CopySettingsFrom(other);
    return *this;
}

void MCutter::CopySettingsFrom(const MCutter& other) {
    m_start = other.m_start;
    m_ownsWorking = other.m_ownsWorking;
    m_working = other.m_ownsWorking ? Duplicate(other.m_working) : other.m_working;
    m_inside = Duplicate(other.m_inside);
    m_outside = Duplicate(other.m_outside);
    m_edges = nullptr;
    m_fillMode = other.m_fillMode;
    m_cutMode = other.m_cutMode;
    m_fillParameter = other.m_fillParameter;
    m_roundRadius = other.m_roundRadius;
    m_cutValue = other.m_cutValue;
    m_support = other.m_support;
    m_lowerLimit = other.m_lowerLimit;
    m_upperLimit = other.m_upperLimit;
    m_inPlaceCut = other.m_inPlaceCut;
    m_cancelled = other.m_cancelled;
    m_ignore = other.m_ignore;
    m_useIgnore = other.m_useIgnore;
    m_triangleIgnored = other.m_triangleIgnored;
}

void MCutter::ReleaseWorking() {
    if (m_ownsWorking) delete m_working;
    m_working = nullptr;
    m_ownsWorking = false;
}

void MCutter::ReleaseResults() {
    delete m_inside;
    delete m_outside;
    m_inside = m_outside = nullptr;
}

void MCutter::ReleaseEdgeList() {
    delete m_edges;
    m_edges = nullptr;
}

void MCutter::SetCutStl(MStlBase& mesh, bool inPlace) {
    ReleaseWorking();
    m_start = &mesh;
    if (inPlace) {
        m_working = &mesh;
        return;
    }
    m_working = new MStlBase();
    m_working->AddStl(mesh, false);
    m_ownsWorking = true;
}

void MCutter::SET_CUT_MODE(unsigned char mode, long value) {
    m_cutMode = mode;
    m_cutValue = value;
    m_roundRadius = 0;
}

void MCutter::SET_SUPPORT_CUT_PARAMETERS(long a, long b, long c, double d, double e) { m_support = {a, b, c, d, e}; }

void MCutter::SetCustomTriangleIgnoreFunction(std::function<bool(MStlTriangle*)> f) {
    // An empty function would throw when called; it means "ignore nothing".
    if (!f) {
        ResetCustomTriangleIgnoreFunction();
        return;
    }
    m_useIgnore = true;
    m_ignore = std::move(f);
}

void MCutter::ResetCustomTriangleIgnoreFunction() {
    m_useIgnore = false;
    m_ignore = NeverIgnore;
}

void MCutter::AddNewCutContour() { m_profile.AddContour(); }

void MCutter::AddNewCutPoint(long x, long y, bool ownSurface) {
    if (!m_profile.GetLastContour()) m_profile.AddContour();
    MCutProfile::AddProfilePoint(*m_profile.GetLastContour(), x, y, ownSurface);
}

namespace {
MStlBase* NewResult(const MStlBase* start, const wchar_t* prefix) {
    auto* mesh = new MStlBase();
    MFileName name(start ? start->GetName() : std::wstring());
    name.SET_FILE_PART(MFileName::eName, prefix + name.GET_FILE_PART(MFileName::eName), 256);
    mesh->SetName(name.GetPath());
    return mesh;
}
}  // namespace

void MCutter::MAKE_NEW_DATA(bool inside, bool outside) {
    ReleaseResults();
    if (inside) m_inside = NewResult(m_start, L"inside_of_");
    if (outside) m_outside = NewResult(m_start, L"outside_of_");
}

MStlBase* MCutter::GetInsideResult(bool take) {
    MStlBase* r = m_inside;
    if (take) m_inside = nullptr;
    return r;
}

MStlBase* MCutter::GetOutsideResult(bool take) {
    MStlBase* r = m_outside;
    if (take) m_outside = nullptr;
    return r;
}

MStlBase* MCutter::GetResult(unsigned long long index, bool take) {
    if (index == 0) return m_inside ? GetInsideResult(take) : GetOutsideResult(take);
    if (index == 1) return GetOutsideResult(take);
    return nullptr;
}
