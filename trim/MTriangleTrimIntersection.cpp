#include "MTriangleTrimIntersection.h"

#include <cmath>
#include <limits>
#include <utility>

namespace {

// Offset along an axis, in units of w: b on axis 0, a on axis 1, w − a on
// axis 2.
double OffsetOnAxis(const MTriangleTrimPosition& p, int axis) {
    switch (axis) {
    case 0: return p.GetB();
    case 1: return p.GetA();
    default: return p.GetW() - p.GetA();
    }
}

constexpr unsigned char kOnLine = MTriangleTrimPosition::kOnLine;

}  // namespace

// ---------------------------------------------------------------------------
// MTriangleTrimIntersection

bool MTriangleTrimIntersection::operator==(const MTriangleTrimIntersection& other) const {
    return start == other.start && end == other.end;
}

bool MTriangleTrimIntersection::IS_AXIS_BACKWARDS(bool reverse) const {
    for (int axis = 0; axis < 3; ++axis) {
        const auto a = static_cast<unsigned char>(axis);
        if (start.POSITION_TO_AXIS(a) != kOnLine || end.POSITION_TO_AXIS(a) != kOnLine) continue;
        // offset(end)/w(end) against offset(start)/w(start), with w > 0.
        const double endScaled = OffsetOnAxis(end, axis) * start.GetW();
        const double startScaled = OffsetOnAxis(start, axis) * end.GetW();
        return reverse ? startScaled <= endScaled : endScaled <= startScaled;
    }
    return false;
}

// ---------------------------------------------------------------------------
// MTriangleTrimIntersectionList

MTriangleTrimIntersectionList::Element* MTriangleTrimIntersectionList::AddIntersection(
    const MTriangleTrimIntersection& record) {
    Element* e = VOORAAN_INVOEGEN(&record);
    e->GetItem().start.AddPoint(nullptr);
    e->GetItem().end.AddPoint(nullptr);
    return e;
}

MTriangleTrimIntersectionList::Element* MTriangleTrimIntersectionList::AddIntersection(
    const MTriangleTrimIntersection& record, bool reverse) {
    Element* e = AddIntersection(record);
    MTriangleTrimIntersection& added = e->GetItem();
    if (reverse) {
        std::swap(added.start, added.end);
        added.line.Set(-added.line.GetA(), -added.line.GetB(), -added.line.GetC());
    }
    for (const Element* other = e->GetNext(); other; other = other->GetNext()) {
        if (other->GetItem() == added) {
            VERWIJDER_ELEMENT(LIJST_ELEMENT_VOORAAN_UITHALEN());
            return nullptr;
        }
    }
    return e;
}

void MTriangleTrimIntersectionList::AddThreeAxisIntersections(MTriangleTrimCS& cs) {
    for (int axis = 0; axis < 3; ++axis) {
        const auto a = static_cast<unsigned char>(axis);
        MTriangleTrimIntersection edge;
        edge.SetCS(&cs);
        edge.start.CalculateAsOffsetOnAxis(a, 0.0, 1.0);
        edge.end.CalculateAsOffsetOnAxis(a, 1.0, 1.0);
        edge.line = MTriangleTrimLine(a);
        AddIntersection(edge);
    }
}

void MTriangleTrimIntersectionList::SetCS(MTriangleTrimCS* cs) {
    for (MTriangleTrimIntersection& record : *this) record.SetCS(cs);
}

// ---------------------------------------------------------------------------
// MTriangleTrimInfo

MTriangleTrimInfo::MTriangleTrimInfo(MStlTriangleElement* triangle, const MMTransformMatrix* transform) {
    _Reserve(2);
    m_lists.push_back(std::make_unique<MTriangleTrimIntersectionList>(triangle, 0));
    m_lists.push_back(std::make_unique<MTriangleTrimIntersectionList>(triangle, 1));
    if (triangle) m_cs.SetTriangle(triangle, transform);
}

MTriangleTrimInfo::~MTriangleTrimInfo() { _DeleteLists(); }

MTriangleTrimInfo::MTriangleTrimInfo(const MTriangleTrimInfo& other) { *this = other; }

MTriangleTrimInfo& MTriangleTrimInfo::operator=(const MTriangleTrimInfo& other) {
    if (this == &other) return *this;
    _DeleteLists();
    m_cs = other.m_cs;
    _Reserve(other.m_capacity);
    for (const auto& list : other.m_lists) {
        m_lists.push_back(std::make_unique<MTriangleTrimIntersectionList>(*list));
        m_lists.back()->SetCS(&m_cs);
    }
    return *this;
}

MTriangleTrimIntersectionList* MTriangleTrimInfo::AddList(unsigned char type) {
    if (m_lists.size() >= kMostLists) return nullptr;
    if (m_lists.size() == m_capacity) _Reserve(m_capacity + 2u);
    m_lists.push_back(std::make_unique<MTriangleTrimIntersectionList>(m_lists[0]->GetTriangleElement(), type));
    return m_lists.back().get();
}

void MTriangleTrimInfo::AllocateLists(unsigned short n) {
    unsigned wanted = (unsigned(n) + 1u) & ~1u;
    if (wanted > kMostLists) wanted = kMostLists;
    if (wanted <= m_lists.size()) return;
    if (wanted > m_capacity) _Reserve(wanted);
    MStlTriangleElement* triangle = m_lists[0]->GetTriangleElement();
    while (m_lists.size() < wanted) m_lists.push_back(std::make_unique<MTriangleTrimIntersectionList>(triangle, 0));
}

void MTriangleTrimInfo::_Reserve(unsigned capacity) {
    m_lists.reserve(capacity);
    m_capacity = static_cast<unsigned short>(capacity);
}

void MTriangleTrimInfo::_DeleteLists() {
    while (!m_lists.empty()) m_lists.pop_back();
    m_capacity = 0;
}

// ---------------------------------------------------------------------------
// MTriangleTrimElement

MTriangleTrimElement::MTriangleTrimElement(const MTriangleTrimElement& other)
    : m_triangle(other.m_triangle), m_transform(other.m_transform),
      m_info(other.m_info ? new MTriangleTrimInfo(*other.m_info) : nullptr) {}

MTriangleTrimElement& MTriangleTrimElement::operator=(const MTriangleTrimElement& other) {
    if (this == &other) return *this;
    MTriangleTrimInfo* copy = other.m_info ? new MTriangleTrimInfo(*other.m_info) : nullptr;
    DisactivateTrimInfo();
    m_triangle = other.m_triangle;
    m_transform = other.m_transform;
    m_info = copy;
    return *this;
}

MTriangleTrimElement::MTriangleTrimElement(MTriangleTrimElement&& other) noexcept
    : m_triangle(other.m_triangle), m_transform(other.m_transform), m_info(std::exchange(other.m_info, nullptr)) {}

MTriangleTrimElement& MTriangleTrimElement::operator=(MTriangleTrimElement&& other) noexcept {
    if (this == &other) return *this;
    DisactivateTrimInfo();
    m_triangle = other.m_triangle;
    m_transform = other.m_transform;
    m_info = std::exchange(other.m_info, nullptr);
    return *this;
}

MTriangleTrimInfo* MTriangleTrimElement::ActivateTrimInfo() {
    DisactivateTrimInfo();
    m_info = new MTriangleTrimInfo(m_triangle, m_transform);
    return m_info;
}

void MTriangleTrimElement::DisactivateTrimInfo() {
    delete m_info;
    m_info = nullptr;
}

// ---------------------------------------------------------------------------
// MTempTrimTriangleList

MTempTrimTriangleList::MTempTrimTriangleList() { SetCalculateFunction(&CalculateTriangleBox); }

MTempTrimTriangleList::~MTempTrimTriangleList() {
    // Every element lives in a block: unlink them all, and let the blocks
    // destroy the items (deactivating their infos) and free the memory.
    while (RemoveFirstElement()) {}
    while (m_pool.RemoveFirstElement()) {}
}

MTempTrimTriangleList::MTempTrimTriangleList(const MTempTrimTriangleList& other) : MAdvancedTempList() {
    SetCalculateFunction(other.GetCalculateFunction());
    _AppendCopiesOf(other);
}

MTempTrimTriangleList& MTempTrimTriangleList::operator=(const MTempTrimTriangleList& other) {
    MAdvancedTempList::operator=(other);
    return *this;
}

MTempTrimTriangleList::Element* MTempTrimTriangleList::NewElement() {
    if (m_pool.GetNumElements() == 0) _FillPool();
    Element* e = m_pool.RemoveFirstElement();
    e->GetItem() = MTriangleTrimElement();
    e->ResetBox();
    return e;
}

MTempTrimTriangleList::Element* MTempTrimTriangleList::NewElement(MStlTriangleElement* triangle,
                                                                  const MMTransformMatrix* transform) {
    Element* e = NewElement();
    e->GetItem().SetTriangle(triangle, transform);
    if (CalculateFunction f = GetCalculateFunction()) f(*e);
    return e;
}

void MTempTrimTriangleList::DeleteElement(Element* e) {
    if (!e) return;
    _UnlinkIfLinked(e);
    e->GetItem().DisactivateTrimInfo();
    m_pool.Add(e);
}

void MTempTrimTriangleList::_FillPool() {
    m_blocks.emplace_back(new Element[kPoolBlock]);
    Element* block = m_blocks.back().get();
    for (int i = 0; i < kPoolBlock; ++i) m_pool.Add(&block[i]);
}

void MTempTrimTriangleList::CalculateTriangleBox(Element& e) {
    e.ResetBox();
    const MStlTriangleElement* triangle = e.GetItem().GetTriangle();
    if (!triangle) return;
    const MMTransformMatrix* transform = e.GetItem().GetTrans();
    long corners[3][3];
    for (int k = 0; k < 3; ++k) {
        const MStlPoint* p = triangle->GetPoint(k);
        if (!p) return;
        if (!transform) {
            for (int i = 0; i < 3; ++i) corners[k][i] = p->Get(i);
            continue;
        }
        const MMVector3d moved = transform->Apply(p->GetVector());
        for (int i = 0; i < 3; ++i) {
            const double c = std::trunc(moved[i]);
            if (!(c >= double(std::numeric_limits<int32_t>::min()) && c <= double(std::numeric_limits<int32_t>::max())))
                return;
            corners[k][i] = long(c);
        }
    }
    for (const long* corner : corners) e.IncludeInBox(corner);
}

// ---------------------------------------------------------------------------
// Clipping a record to a triangle

void MTriangleTrimIntersection::TRIM(MTriangleTrimIntersection& out, MTriangleTrimCS* cs) {
    out = *this;
    for (int axis = 0; axis < 3; ++axis) TRIM_TO_AXIS(axis, out, cs);
}

// Where this record's ends lie on different sides of the edge line `axis`,
// the end further outside is replaced in `out` by the crossing of the segment
// with that edge.  The sides come from this record, not from `out`, so an end
// outside two edges is replaced twice and the later edge wins.
void MTriangleTrimIntersection::TRIM_TO_AXIS(int axis, MTriangleTrimIntersection& out, MTriangleTrimCS* cs) {
    if (axis < 0 || axis > 2 || !cs) return;
    const unsigned char a = static_cast<unsigned char>(axis);
    if (start.POSITION_TO_AXIS(a) == end.POSITION_TO_AXIS(a)) return;
    MMVector3l p(long(start.GetX()), long(start.GetY()), long(start.GetZ()));
    MMVector3l q(long(end.GetX()), long(end.GetY()), long(end.GetZ()));
    MTriangleTrimPosition crossing;
    crossing.SetCS(cs);
    if (!crossing.CalculateIntersectionOfAxisWithLine(char(axis), p, q)) return;
    // Distances are compared per unit of w, as the positions are homogeneous.
    const MTriangleTrimLine& line = MTriangleTrimCS::axis_line[axis];
    auto distance = [&](const MTriangleTrimPosition& pos) {
        return pos.GetW() != 0.0 ? pos.DISTANCE_TO_LINE(line) / pos.GetW() : pos.DISTANCE_TO_LINE(line);
    };
    if (distance(end) > distance(start))
        out.start = crossing;
    else
        out.end = crossing;
}
