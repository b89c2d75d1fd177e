// Progress reporting and cancellation.  A delegate receives the progress of
// named steps as fractions of its own range; reporters map their counts onto
// that range and nested delegates cover a fixed share of their parent's.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <string>

namespace QelSDK::Common {

class IProgressDelegate {
public:
    virtual ~IProgressDelegate() = default;
    // `fraction` in [0, 1] of this delegate's whole range.
    virtual void OnProgress(const std::string& step, double fraction) = 0;
    virtual bool IsCancelled() const = 0;
    virtual void OnNotification(const std::string& /*name*/, const std::any& /*value*/) {}
};

using ProgressPtr = std::shared_ptr<IProgressDelegate>;

// Covers [start, start + span) of its parent's range.
class NestedProgressDelegate final : public IProgressDelegate {
public:
    NestedProgressDelegate(ProgressPtr parent, double start, double span)
        : m_parent(std::move(parent)), m_start(start), m_span(span) {}
    void OnProgress(const std::string& step, double fraction) override {
        m_parent->OnProgress(step, m_start + m_span * fraction);
    }
    bool IsCancelled() const override { return m_parent->IsCancelled(); }
    void OnNotification(const std::string& name, const std::any& value) override {
        m_parent->OnNotification(name, value);
    }

private:
    ProgressPtr m_parent;
    double m_start;
    double m_span;
};

class BaseProgressReporter {
public:
    explicit BaseProgressReporter(ProgressPtr delegate) : m_delegate(std::move(delegate)) {}
    virtual ~BaseProgressReporter() = default;
    BaseProgressReporter(const BaseProgressReporter&) = delete;
    BaseProgressReporter& operator=(const BaseProgressReporter&) = delete;

    bool IsCancelled() const { return m_delegate && m_delegate->IsCancelled(); }
    void SendNotification(const std::string& name, const std::any& value) const {
        if (m_delegate) m_delegate->OnNotification(name, value);
    }
    // A child covering `fraction` of this reporter's remaining range, taken
    // from its current position; the reporter moves past that share.  An empty
    // parent gives an empty child.
    ProgressPtr CreateNestedDelegate(double fraction);

protected:
    virtual double Position() const { return m_childCursor; }
    virtual void Advance(double fraction) { m_childCursor += fraction; }

    ProgressPtr m_delegate;
    double m_childCursor = 0.0;
};

// Reports one named step of `total` units.  `++` and `+=` advance it; the
// step is closed (reported complete) on destruction.  Updates reach the
// delegate only when they move the bar by at least 1/1000, so a reporter on
// an inner loop stays cheap.
class IncrementalProgressReporter : public BaseProgressReporter {
public:
    IncrementalProgressReporter(ProgressPtr delegate, std::string name, uint64_t total, bool announce = true);
    ~IncrementalProgressReporter() override;

    IncrementalProgressReporter& operator++() { return *this += 1; }
    IncrementalProgressReporter& operator+=(uint64_t n);
    const std::string& GetName() const { return m_name; }
    uint64_t GetCount() const { return m_count; }

protected:
    double Position() const override;
    void Advance(double fraction) override;

private:
    void Report();
    std::string m_name;
    uint64_t m_total;
    uint64_t m_count = 0;
    double m_lastReported = -1.0;
};

}  // namespace QelSDK::Common
