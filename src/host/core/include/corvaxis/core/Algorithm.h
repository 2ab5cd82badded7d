#pragma once

#include "corvaxis/core/OwningDataList.h"
#include "corvaxis/core/Parameter.h"

#include <string>

namespace corvaxis {

/// A computation with parameters: construct, set parameters, compute, read status, take output.
class Algorithm : public Configurable {
public:
    enum Status : int { Success = 0, Unknown = -1, Error = 1, InvalidInput = 2, IncompleteInput = 3 };

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

protected:
    void setStatus(int status, std::string message = {})
    {
        m_status = status;
        m_statusMessage = std::move(message);
    }
    OwningDataList& output() { return m_output; }
    Properties& mutableResults() { return m_results; }

private:
    int m_status = Unknown;
    std::string m_statusMessage;
    OwningDataList m_output;
    Properties m_results{"results"};
};

}  // namespace corvaxis
