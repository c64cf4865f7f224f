#include "interruption.hpp"

namespace py = pybind11;

namespace nightdehaze_python {

namespace {
unsigned long mainThreadIdent = 0;
}  // namespace

void rememberMainThread() {
    mainThreadIdent = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

PythonSignals::PythonSignals(const Cancellation* cancellation)
    : cancellation_(cancellation),
      caller_(std::this_thread::get_id()),
      onMainThread_(PyThread_get_thread_ident() == mainThreadIdent),
      lastCheck_(std::chrono::steady_clock::now()) {}

PythonSignals::~PythonSignals() {
    if (!type_ && !value_ && !traceback_) return;
    py::gil_scoped_acquire gil;
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

bool PythonSignals::stopRequested() {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (cancellation_ && cancellation_->requested.load(std::memory_order_relaxed)) return true;
    if (!onMainThread_ || std::this_thread::get_id() != caller_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCheck_ < kSignalCheckInterval) return false;
    lastCheck_ = now;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    PyErr_Fetch(&type_, &value_, &traceback_);
    stopped_.store(true, std::memory_order_relaxed);
    return true;
}

void PythonSignals::raiseKeptError() {
    if (!type_) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    throw py::error_already_set();
}

void runWithoutGil(const std::function<void(nightdehaze::ProgressMonitor&)>& work,
                   const Cancellation* cancellation) {
    PythonSignals signals(cancellation);
    bool cancelled = false;
    {
        py::gil_scoped_release released;
        try {
            nightdehaze::runMonitored(signals, [&] { work(signals); });
        } catch (const nightdehaze::Cancelled&) {
            cancelled = true;
        }
    }
    if (!cancelled) return;
    if (signals.signalled()) signals.raiseKeptError();
    throw nightdehaze::Cancelled();
}

}  // namespace nightdehaze_python
