#include "host/MProgress.h"

#include <algorithm>
#include <cmath>

namespace QelSDK::Common {

ProgressPtr BaseProgressReporter::CreateNestedDelegate(double fraction) {
    if (!m_delegate) return nullptr;
    const double start = std::clamp(Position(), 0.0, 1.0);
    const double span = std::clamp(fraction, 0.0, 1.0 - start);
    Advance(fraction);
    return std::make_shared<NestedProgressDelegate>(m_delegate, start, span);
}

IncrementalProgressReporter::IncrementalProgressReporter(ProgressPtr delegate, std::string name, uint64_t total,
                                                         bool announce)
    : BaseProgressReporter(std::move(delegate)), m_name(std::move(name)), m_total(std::max<uint64_t>(total, 1)) {
    if (m_delegate && announce) Report();
}

IncrementalProgressReporter::~IncrementalProgressReporter() {
    if (m_delegate) m_delegate->OnProgress(m_name, 1.0);
}

IncrementalProgressReporter& IncrementalProgressReporter::operator+=(uint64_t n) {
    m_count = std::min(m_total, m_count + n);
    if (m_delegate) Report();
    return *this;
}

double IncrementalProgressReporter::Position() const { return double(m_count) / double(m_total); }

void IncrementalProgressReporter::Advance(double fraction) {
    m_count = std::min(m_total, m_count + uint64_t(std::llround(fraction * double(m_total))));
}

void IncrementalProgressReporter::Report() {
    const double f = Position();
    if (f - m_lastReported < 1e-3 && f < 1.0) return;
    m_lastReported = f;
    m_delegate->OnProgress(m_name, f);
}

}  // namespace QelSDK::Common
