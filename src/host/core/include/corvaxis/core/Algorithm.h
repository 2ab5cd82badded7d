#pragma once

#include "corvaxis/core/OwningDataList.h"
#include "corvaxis/core/Parameter.h"

#include <functional>
#include <string>
#include <string_view>

namespace corvaxis {

/// A computation with parameters: construct, set parameters, compute, read status, take output.
///
/// How a compute runs (docs/algorithms.md): it holds an Algorithm::Run from start to end, which
/// clears the last status, results and output, reports progress, turns a stop request into status
/// Cancelled with the one message cancelledMessage, and records a failure or success. While it
/// runs, the algorithm is computing: its parameters refuse changes and a second compute of it is
/// refused, both with std::runtime_error "<name> is in use by a running compute".
class Algorithm : public Configurable {
public:
    enum Status : int { Success = 0, Unknown = -1, Error = 1, InvalidInput = 2, IncompleteInput = 3, Cancelled = 4 };

    /// The status message of every cancelled compute.
    static constexpr std::string_view cancelledMessage = "Cancelled by the progress callback; the inputs are as they were";

    /// Receives the progress of a running compute (a fraction in [0, 1] and what is being done);
    /// returning false asks the algorithm to stop.
    using ProgressCallback = std::function<bool(double fraction, const std::string& step)>;

    class Run;

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
    /// Whether a compute that holds a Run is under way.
    bool isComputing() const { return m_running != nullptr; }

protected:
    void setStatus(int status, std::string message = {})
    {
        m_status = status;
        m_statusMessage = std::move(message);
    }
    OwningDataList& output() { return m_output; }
    Properties& mutableResults() { return m_results; }
    /// Reports progress; false when the caller asked to stop. Algorithms written in C++ report
    /// through Run::proceed, which also records the cancellation.
    bool reportProgress(double fraction, const std::string& step) const
    {
        // A copy, so that a callback that replaces or removes itself is not destroyed while it runs.
        const ProgressCallback callback = m_progress;
        return !callback || callback(fraction, step);
    }

    /// Refuses parameter changes while a compute runs.
    void checkParameterChange(const ParameterBase& parameter) const override;

private:
    int m_status = Unknown;
    std::string m_statusMessage;
    OwningDataList m_output;
    Properties m_results{"results"};
    ProgressCallback m_progress;
    const Run* m_running = nullptr;
};

/// Progress and cancellation of one computation: reports to a callback and remembers a request
/// to stop. Numerical steps that are not algorithms themselves use it directly; Algorithm::Run
/// uses it for algorithms.
class ProgressReporter {
public:
    explicit ProgressReporter(Algorithm::ProgressCallback callback = {}) : m_callback(std::move(callback)) {}

    /// Reports progress; true to go on, false once the caller asked to stop (and from then on).
    [[nodiscard]] bool proceed(double fraction, std::string_view step);
    bool stopRequested() const { return m_stopRequested; }
    /// A callback for a step that covers the part [from, to] of this computation; a stop it is
    /// told of counts as a stop of this computation.
    Algorithm::ProgressCallback part(double from, double to);

private:
    Algorithm::ProgressCallback m_callback;
    bool m_stopRequested = false;
};

/// One compute of an algorithm, held from its start to its end:
///
///     void MyAlgorithm::compute()
///     {
///         Run run(*this, "MyAlgorithm");
///         if (!run.proceed(0.0, "Reading"))        // false: stopped, status Cancelled already set
///             return;
///         if (bad)
///             return run.fail(InvalidInput, "what is wrong, naming the parameter or input");
///         if (!run.took(numericalStep(..., run.part(0.1, 0.9))))   // its failure or stop becomes ours
///             return;
///         run.succeed();
///     }
///
/// A compute that ends without fail or succeed (an exception passing through) ends as Error.
class Algorithm::Run {
public:
    /// Starts the compute: clears status, message, results and output. Throws std::runtime_error
    /// "<name> is in use by a running compute" when the algorithm is computing already (a
    /// progress callback that calls compute again).
    Run(Algorithm& algorithm, std::string name);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    const std::string& name() const { return m_name; }
    /// Reports progress; true to go on. False once the caller asked to stop: the status is then
    /// Cancelled with cancelledMessage, and the compute returns leaving its inputs as they were.
    [[nodiscard]] bool proceed(double fraction, std::string_view step);
    /// A progress callback for a numerical step covering [from, to] of the compute.
    ProgressCallback part(double from, double to) { return m_reporter.part(from, to); }
    /// Ends the compute as failed; Cancelled always carries cancelledMessage.
    void fail(int status, std::string message);
    /// Takes over the outcome of a numerical step (anything with `status` and `message`): true when
    /// it succeeded, else the compute fails with its status and message (or is cancelled).
    template <typename StepResult>
    [[nodiscard]] bool took(const StepResult& result)
    {
        if (result.status == Success)
            return true;
        fail(m_reporter.stopRequested() ? Cancelled : result.status, result.message);
        return false;
    }
    void succeed();
    /// Whether fail was called (or a stop request noticed).
    bool failed() const { return m_algorithm.m_status != Unknown && m_algorithm.m_status != Success; }

private:
    Algorithm& m_algorithm;
    std::string m_name;
    ProgressReporter m_reporter;
};

}  // namespace corvaxis
