// The Python module `zelvan`.
#include "Bindings.h"

#include <cstddef>

#include "zelvan/Version.h"

namespace zelvan::python {

namespace {

py::dtype recordType(std::initializer_list<const char*> names, std::initializer_list<const char*> formats,
                     std::initializer_list<size_t> offsets, size_t itemsize) {
    py::list n, f, o;
    for (const char* name : names) n.append(name);
    for (const char* format : formats) f.append(format);
    for (size_t offset : offsets) o.append(offset);
    py::dict d;
    d["names"] = n;
    d["formats"] = f;
    d["offsets"] = o;
    d["itemsize"] = itemsize;
    return py::dtype::from_args(d);
}

// Made once when the module loads and kept for the life of the process (never destroyed, so that
// nothing is released after the interpreter has gone).
py::dtype* g_event_dtype = nullptr;
py::dtype* g_trigger_dtype = nullptr;

}  // namespace

py::dtype eventDtype() { return *g_event_dtype; }
py::dtype triggerDtype() { return *g_trigger_dtype; }

}  // namespace zelvan::python

PYBIND11_MODULE(zelvan, m) {
    using namespace zelvan::python;
    using zelvan::Event2D;
    using zelvan::EventTriggerIn;
    m.doc() = "Event camera recordings and cameras of the Zelvan driver, with events as numpy arrays.";

    static_assert(offsetof(Event2D, x) == 0 && offsetof(Event2D, y) == 2 &&
                  offsetof(Event2D, polarity) == 4 && offsetof(Event2D, timestamp) == 8 &&
                  sizeof(Event2D) == 16);
    static_assert(offsetof(EventTriggerIn, polarity) == 0 && offsetof(EventTriggerIn, timestamp) == 8 &&
                  offsetof(EventTriggerIn, id) == 16 && sizeof(EventTriggerIn) == 24);
    g_event_dtype =
        new py::dtype(recordType({"x", "y", "p", "t"}, {"<u2", "<u2", "u1", "<i8"}, {0, 2, 4, 8}, 16));
    g_trigger_dtype = new py::dtype(recordType({"p", "id", "t"}, {"<i2", "<i2", "<i8"}, {0, 16, 8}, 24));
    m.attr("EVENT_DTYPE") = *g_event_dtype;
    m.attr("TRIGGER_DTYPE") = *g_trigger_dtype;

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Interrupted&) {
            // The signal handler's exception (KeyboardInterrupt, ...) is already set.
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyboardInterrupt, "interrupted");
        } catch (const FileMissing& e) {
            PyErr_SetString(PyExc_FileNotFoundError, e.what());
        } catch (const IoFailure& e) {
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const BadData& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const NotFound& e) {
            PyErr_SetString(PyExc_LookupError, e.what());
        } catch (const WrongType& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        }
    });

    // Imported here so that a missing numpy fails the import with a message that names it.
    py::module_::import("numpy");
    m.attr("__version__") = zelvan::driverVersion();
    bindRawReader(m);
    bindCamera(m);
}
