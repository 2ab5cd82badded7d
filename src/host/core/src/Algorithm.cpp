#include "corvaxis/core/Algorithm.h"

#include <stdexcept>

namespace corvaxis {

namespace {

std::runtime_error inUse(const std::string& name)
{
    return std::runtime_error(name + " is in use by a running compute");
}

}  // namespace

void Algorithm::checkParameterChange(const ParameterBase& parameter) const
{
    if (m_running)
        throw std::runtime_error("Parameter '" + parameter.name() + "' cannot change: " + m_running->name() +
                                 " is in use by a running compute");
}

bool ProgressReporter::proceed(double fraction, std::string_view step)
{
    if (m_stopRequested)
        return false;
    if (m_callback && !m_callback(fraction, std::string(step)))
        m_stopRequested = true;
    return !m_stopRequested;
}

Algorithm::ProgressCallback ProgressReporter::part(double from, double to)
{
    return [this, from, to](double fraction, const std::string& step) {
        return proceed(from + (to - from) * fraction, step);
    };
}

Algorithm::Run::Run(Algorithm& algorithm, std::string name)
    : m_algorithm(algorithm), m_name(std::move(name)),
      m_reporter([&algorithm](double fraction, const std::string& step) { return algorithm.reportProgress(fraction, step); })
{
    if (algorithm.m_running)
        throw inUse(m_name);
    algorithm.m_running = this;
    algorithm.setStatus(Unknown);
    algorithm.m_results = Properties("results");
    algorithm.m_output = OwningDataList();
}

Algorithm::Run::~Run()
{
    m_algorithm.m_running = nullptr;
    if (m_algorithm.m_status == Unknown)
        m_algorithm.setStatus(Error, m_name + " ended without a result");
}

bool Algorithm::Run::proceed(double fraction, std::string_view step)
{
    if (m_reporter.proceed(fraction, step))
        return true;
    fail(Cancelled, {});
    return false;
}

void Algorithm::Run::fail(int status, std::string message)
{
    // Whatever a computation was told of a stop request, its end is the one cancellation.
    if (status == Cancelled || m_reporter.stopRequested())
        m_algorithm.setStatus(Cancelled, std::string(cancelledMessage));
    else
        m_algorithm.setStatus(status == Success || status == Unknown ? Error : status, std::move(message));
    m_algorithm.m_results = Properties("results");
    m_algorithm.m_output = OwningDataList();
}

void Algorithm::Run::succeed()
{
    m_algorithm.setStatus(Success);
}

}  // namespace corvaxis
