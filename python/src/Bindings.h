// Shared pieces of the Python module: the exceptions every failure is raised as, the numpy record
// types and the hand-over of event vectors to numpy arrays without copying.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan::python {

namespace py = pybind11;

// Failures are thrown as these while the GIL may be released; the module's translator turns them
// into the Python exception named beside each.
struct FileMissing : std::runtime_error {  // FileNotFoundError
    using std::runtime_error::runtime_error;
};
struct IoFailure : std::runtime_error {  // OSError
    using std::runtime_error::runtime_error;
};
struct BadData : std::runtime_error {  // ValueError: not an EVT 3.0 raw file, truncated data, bad value
    using std::runtime_error::runtime_error;
};
struct NotFound : std::runtime_error {  // LookupError: unknown serial, tool or parameter
    using std::runtime_error::runtime_error;
};
struct WrongType : std::runtime_error {  // TypeError
    using std::runtime_error::runtime_error;
};
// A wait ended by a signal whose handler raised: the Python error is already set.
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};
// std::runtime_error itself becomes RuntimeError (pybind11's own translation).

// A path given as str, bytes or os.PathLike, in the file system's encoding.
inline std::string fsPath(const py::handle& path) {
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// Text from a file (header lines), undecodable bytes replaced.
inline py::str lenientText(const std::string& text) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// The numpy record of one event: x (u2), y (u2), p (u1), t (i8), laid out as Event2D (16 bytes with
// padding), so that decoded events become array rows as they are.
py::dtype eventDtype();
// The record of one trigger edge: p (i2), id (i2), t (i8), laid out as EventTriggerIn (24 bytes).
py::dtype triggerDtype();

// A one-dimensional array of `dtype` whose storage is `rows`, moved into the array (no copy).
template <typename T>
py::array arrayOwning(std::vector<T>&& rows, const py::dtype& dtype) {
    auto* owned = new std::vector<T>(std::move(rows));
    py::capsule base(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    const auto n = static_cast<py::ssize_t>(owned->size());
    return py::array(dtype, {n}, {static_cast<py::ssize_t>(sizeof(T))}, owned->data(), base);
}

inline py::array eventArray(std::vector<Event2D>&& events) {
    return arrayOwning(std::move(events), eventDtype());
}
inline py::array triggerArray(std::vector<EventTriggerIn>&& triggers) {
    return arrayOwning(std::move(triggers), triggerDtype());
}

void bindRawReader(py::module_& m);
void bindCamera(py::module_& m);

}  // namespace zelvan::python
