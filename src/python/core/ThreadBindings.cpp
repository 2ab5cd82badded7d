#include "Bindings.h"

#include "corvaxis/core/Threads.h"

namespace corvaxis::python {

void bindThreads(py::module_& module)
{
    module.def("set_computing_threads", &setComputingThreads, py::arg("count"),
               "Sets how many threads the algorithms of this process share their work among; 0 (the "
               "start) means the machine's hardware threads. A process that runs beside others doing "
               "the same work (one subject per process, say) sets 1. Results never depend on it. "
               "ValueError for a negative count.");
    module.def("computing_threads", &computingThreads,
               "How many threads the algorithms of this process share their work among.");
}

}  // namespace corvaxis::python
