#pragma once

#include "corvaxis/core/OwningDataList.h"
#include "corvaxis/core/Parameter.h"

#include <functional>
#include <string>

namespace corvaxis {

/// A computation with parameters: construct, set parameters, compute, read status, take output.
class Algorithm : public Configurable {
public:
    enum Status : int { Success = 0, Unknown = -1, Error = 1, InvalidInput = 2, IncompleteInput = 3, Cancelled = 4 };

    /// Receives the progress of a running compute (a fraction in [0, 1] and what is being done);
    /// returning false asks the algorithm to stop.
    using ProgressCallback = std::function<bool(double fraction, const std::string& step)>;

    Algorithm() = default;
    ~Algorithm() override = default;

    virtual void compute() = 0;
    int status() const { return m_status; }
    /// Why the last compute failed; empty after a success.
    const std::string& statusMessage() const { return m_statusMessage; }
    /// Hands over what the last compute produced; a second call returns an empty list.
    OwningDataList takeOutput() { return std::exchange(m_output, OwningDataList()); }
    /// The figures of the last compute (residuals, transformations, variances...) by name, so
    /// that callers read them without parsing log text; an algorithm clears them when it starts.
    const Properties& results() const { return m_results; }
    /// Progress reports reach the callback on the thread that called compute, never another one.
    void setProgressCallback(ProgressCallback callback) { m_progress = std::move(callback); }

protected:
    void setStatus(int status, std::string message = {})
    {
        m_status = status;
        m_statusMessage = std::move(message);
    }
    OwningDataList& output() { return m_output; }
    Properties& mutableResults() { return m_results; }
    /// Reports progress; false when the caller asked to stop. An algorithm that is told to stop
    /// ends with status Cancelled and leaves its inputs as they were.
    bool reportProgress(double fraction, const std::string& step) const
    {
        return !m_progress || m_progress(fraction, step);
    }

private:
    int m_status = Unknown;
    std::string m_statusMessage;
    OwningDataList m_output;
    Properties m_results{"results"};
    ProgressCallback m_progress;
};

}  // namespace corvaxis
