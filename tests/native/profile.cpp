// A sampling profiler for the benchmarks, in the test-only extension: while
// it runs, SIGPROF interrupts whichever thread spends CPU every `period`
// microseconds and the interrupted instruction's address is kept; the
// caller maps the addresses to functions (/proc/self/maps, addr2line).
//
//   profile_start(period_us)   profile_stop() -> list of addresses
#include "registry.h"

#include <signal.h>
#include <sys/time.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>

namespace vlm::testing {
namespace {

constexpr size_t MAX_SAMPLES = 1 << 20;
uintptr_t samples[MAX_SAMPLES];
std::atomic<size_t> count{0};

void on_prof(int, siginfo_t*, void* ctx) {
    auto* uc = static_cast<ucontext_t*>(ctx);
    size_t i = count.fetch_add(1, std::memory_order_relaxed);
    if (i < MAX_SAMPLES)
        samples[i] = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
}

PyObject* profile_start(PyObject*, PyObject* arg) {
    long period = PyLong_AsLong(arg);
    if (period == -1 && PyErr_Occurred())
        return nullptr;
    count = 0;
    struct sigaction sa {};
    sa.sa_sigaction = on_prof;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGPROF, &sa, nullptr);
    itimerval t{{0, period}, {0, period}};
    setitimer(ITIMER_PROF, &t, nullptr);
    Py_RETURN_NONE;
}

PyObject* profile_stop(PyObject*, PyObject*) {
    itimerval t{};
    setitimer(ITIMER_PROF, &t, nullptr);
    signal(SIGPROF, SIG_IGN);
    size_t n = std::min(count.load(), MAX_SAMPLES);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLongLong(samples[i]));
    return list;
}

PyMethodDef methods[] = {
    {"profile_start", profile_start, METH_O, nullptr},
    {"profile_stop", profile_stop, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_profile(PyObject* m) { return PyModule_AddFunctions(m, methods); }

}  // namespace vlm::testing
