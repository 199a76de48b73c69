// zelvan.list_cameras, zelvan.open_camera and the Camera and Tool classes.
//
// Every camera handle is listed in the module's registry; the interpreter's exit closes them all
// (streaming and recording stopped) and then releases the camera manager, whose cameras join their
// threads. Blocking calls release the GIL; no camera thread ever calls into Python (statistics
// samples are kept in atomics and read on demand).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Bindings.h"
#include "zelvan/DvsCameraManager.h"

namespace zelvan::python {

namespace {

class PyCamera;

// The camera manager (used from one thread at a time) and the handles it gave out.
struct Registry {
    std::recursive_mutex mutex;  // a handle's destructor may run while its holder has it
    std::unique_ptr<DvsCameraManager> manager;
    std::vector<std::weak_ptr<PyCamera>> handles;

    DvsCameraManager& get() {
        if (!manager) manager = std::make_unique<DvsCameraManager>();
        return *manager;
    }
};

// Never destroyed: the cameras are released by closeAll() at the interpreter's exit, and a handle
// deleted later must still find the registry.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

const char* interfaceName(INTERFACE_TYPE type) { return type == ETH ? "ETH" : "USB"; }

py::dict describe(const CameraDescription& d) {
    py::dict out;
    out["serial"] = d.serial;
    out["product"] = d.product;
    out["manufacturer"] = d.manufacturer;
    out["interface"] = interfaceName(d.interfaceType);
    out["vendor_id"] = d.vendorId;
    out["product_id"] = d.productId;
    out["firmware_version"] = d.firmwareVersion;
    out["ip"] = d.cameraIp;
    return out;
}

py::dict recordingStatus(const ZvRecordingStatus& s) {
    py::dict out;
    out["path"] = s.path;
    out["recording"] = s.recording;
    out["failed"] = s.failed;
    out["error"] = s.error;
    out["bytes_written"] = s.bytesWritten;
    out["bytes_dropped"] = s.bytesDropped;
    return out;
}

// The latest statistics sample; written on the camera's statistics thread.
struct Statistics {
    std::atomic<uint64_t> event_rate{0};
    std::atomic<uint64_t> data_rate{0};
    std::atomic<uint64_t> samples{0};
};

const char* kindName(ParameterType type) {
    switch (type) {
        case PARAM_INT:
            return "int";
        case PARAM_FLOAT:
            return "float";
        case PARAM_BOOL:
            return "bool";
        case PARAM_STRING:
            return "str";
        case PARAM_ENUM:
            return "enum";
    }
    return "unknown";
}

// Whether `value` is an instance of numpy.<type> (numpy is imported with the module).
bool isNumpy(const py::handle& value, const char* type) {
    return py::isinstance(value, py::module_::import("numpy").attr(type));
}

// An int for a tool: int, numpy integers and anything else with __index__, bools excepted.
bool isInteger(const py::handle& value) {
    return PyIndex_Check(value.ptr()) && !py::isinstance<py::bool_>(value) && !isNumpy(value, "bool_");
}

// A tool of an open handle: every use goes through the handle and raises RuntimeError once it is
// closed (or deleted).
class PyTool {
public:
    PyTool(std::weak_ptr<PyCamera> owner, std::string serial, std::shared_ptr<CameraTool> tool,
           std::string name)
        : owner_(std::move(owner)),
          serial_(std::move(serial)),
          tool_(std::move(tool)),
          name_(std::move(name)) {}

    const std::string& name() const { return name_; }

    std::vector<std::string> names() const { return use()->registeredParameterNames(); }

    ParameterType kindOf(const std::string& param) const {
        const auto all = use()->getAllParamInfo();
        const auto it = all.find(param);
        if (it == all.end()) throw NotFound("tool " + name_ + " has no parameter \"" + param + "\"");
        return it->second.type;
    }

    py::object get(const std::string& param) {
        const ParameterType kind = kindOf(param);
        bool ok = false;
        py::object value;
        switch (kind) {
            case PARAM_INT: {
                int v = 0;
                ok = released([&] { return use()->getParam(param, v); });
                value = py::int_(v);
                break;
            }
            case PARAM_FLOAT: {
                float v = 0;
                ok = released([&] { return use()->getParam(param, v); });
                value = py::float_(v);
                break;
            }
            case PARAM_BOOL: {
                bool v = false;
                ok = released([&] { return use()->getParam(param, v); });
                value = py::bool_(v);
                break;
            }
            case PARAM_STRING:
            case PARAM_ENUM: {
                std::string v;
                ok = released([&] { return use()->getParam(param, v); });
                value = py::str(v);
                break;
            }
        }
        if (!ok) {
            const std::string what = "cannot read " + name_ + "." + param + " from camera " + serial_;
            if (!use().camera->isConnected()) throw IoFailure(what + ": it is not connected");
            throw std::runtime_error(what);
        }
        return value;
    }

    // A value the tool did not take: refused (ValueError), or not applied because the camera went away
    // (OSError).
    [[noreturn]] void notTaken(const std::string& what, const std::string& refusal) const {
        if (!use().camera->isConnected())
            throw IoFailure(what + " cannot be applied: camera " + serial_ + " is not connected");
        throw BadData(refusal);
    }

    void set(const std::string& param, const py::handle& value) {
        const ParameterType kind = kindOf(param);
        const std::string what = name_ + "." + param;
        bool ok = false;
        std::string allowed;
        switch (kind) {
            case PARAM_INT: {
                if (!isInteger(value)) throw WrongType(what + " takes an int");
                IntParameterInfo info;
                use()->getParamInfo(param, info);
                allowed = " (" + std::to_string(info.min) + " to " + std::to_string(info.max) + ")";
                long long v = 0;
                try {
                    v = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr())).cast<long long>();
                } catch (const py::cast_error&) {
                    throw BadData(what + " = " + py::str(value).cast<std::string>() + " is refused" +
                                  allowed);
                }
                if (v < info.min || v > info.max)
                    throw BadData(what + " = " + std::to_string(v) + " is refused" + allowed);
                ok = released([&] { return use()->setParam(param, static_cast<int>(v)); });
                if (!ok) notTaken(what, what + " = " + std::to_string(v) + " is refused" + allowed);
                return;
            }
            case PARAM_FLOAT: {
                if (!isInteger(value) && !PyFloat_Check(value.ptr()) && !isNumpy(value, "floating"))
                    throw WrongType(what + " takes a float");
                FloatParameterInfo info;
                use()->getParamInfo(param, info);
                const auto as_float = py::reinterpret_steal<py::object>(PyNumber_Float(value.ptr()));
                if (!as_float) PyErr_Clear();  // too large for a float: refused below
                const double v = as_float ? PyFloat_AsDouble(as_float.ptr()) : HUGE_VAL;
                const std::string refusal = what + " = " + std::to_string(v) + " is refused (" +
                                            std::to_string(info.min) + " to " + std::to_string(info.max) +
                                            ")";
                if (!std::isfinite(v)) throw BadData(refusal);
                ok = released([&] { return use()->setParam(param, v); });
                if (!ok) notTaken(what, refusal);
                return;
            }
            case PARAM_BOOL: {
                if (!py::isinstance<py::bool_>(value) && !isNumpy(value, "bool_"))
                    throw WrongType(what + " takes a bool");
                const bool v = PyObject_IsTrue(value.ptr()) == 1;
                ok = released([&] { return use()->setParam(param, v); });
                if (!ok) notTaken(what, what + " = " + (v ? "True" : "False") + " is refused");
                return;
            }
            case PARAM_STRING:
            case PARAM_ENUM: {
                if (!py::isinstance<py::str>(value)) throw WrongType(what + " takes a str");
                const std::string v = value.cast<std::string>();
                if (kind == PARAM_ENUM) {
                    EnumParameterInfo info;
                    use()->getParamInfo(param, info);
                    for (const auto& option : info.options)
                        allowed += (allowed.empty() ? " (one of " : ", ") + option;
                    if (!allowed.empty()) allowed += ")";
                }
                ok = released([&] { return use()->setParam(param, v); });
                if (!ok) notTaken(what, what + " = \"" + v + "\" is refused" + allowed);
                return;
            }
        }
    }

    py::dict params() {
        py::dict out;
        for (const auto& param : names()) out[py::str(param)] = get(param);
        return out;
    }

    py::dict info() const {
        py::dict out;
        const Use tool = use();
        for (const auto& [param, basic] : tool->getAllParamInfo()) {
            py::dict d;
            d["type"] = kindName(basic.type);
            d["description"] = basic.description;
            switch (basic.type) {
                case PARAM_INT: {
                    IntParameterInfo i;
                    tool->getParamInfo(param, i);
                    d["min"] = i.min;
                    d["max"] = i.max;
                    d["default"] = i.default_value;
                    d["unit"] = i.unit;
                    break;
                }
                case PARAM_FLOAT: {
                    FloatParameterInfo i;
                    tool->getParamInfo(param, i);
                    d["min"] = i.min;
                    d["max"] = i.max;
                    d["default"] = i.default_value;
                    d["unit"] = i.unit;
                    break;
                }
                case PARAM_BOOL: {
                    BoolParameterInfo i;
                    tool->getParamInfo(param, i);
                    d["default"] = i.default_value;
                    break;
                }
                case PARAM_ENUM: {
                    EnumParameterInfo i;
                    tool->getParamInfo(param, i);
                    d["options"] = i.options;
                    d["default"] = i.default_value;
                    break;
                }
                case PARAM_STRING: {
                    StringParameterInfo i;
                    tool->getParamInfo(param, i);
                    d["default"] = i.default_value;
                    break;
                }
            }
            out[py::str(param)] = d;
        }
        return out;
    }

private:
    // Holds the camera (and so its register access) for one use; RuntimeError once the handle is closed.
    struct Use {
        std::shared_ptr<DvsCamera> camera;
        CameraTool* operator->() const { return tool; }
        CameraTool* tool;
    };
    Use use() const;

    template <typename F>
    static bool released(F f) {
        py::gil_scoped_release release;
        return f();
    }

    std::weak_ptr<PyCamera> owner_;
    std::string serial_;
    std::shared_ptr<CameraTool> tool_;
    std::string name_;
};

class PyCamera : public std::enable_shared_from_this<PyCamera> {
public:
    PyCamera(std::shared_ptr<DvsCamera> camera)
        : camera_(std::move(camera)),
          stats_(std::make_shared<Statistics>()),
          description_(camera_->getDescription()) {
        camera_->setBatchEventsTime(kDefaultBatchUs);
        std::weak_ptr<Statistics> stats = stats_;
        camera_->setStatisticInfoCallback([stats](ZvStatisticInfo info) {
            if (auto s = stats.lock()) {
                s->event_rate.store(info.eventRate);
                s->data_rate.store(info.dataRate);
                s->samples.fetch_add(1);
            }
        });
    }
    // Closing stops the camera's threads: without the GIL, so that none waits on it.
    ~PyCamera() {
        if (Py_IsInitialized() && PyGILState_Check()) {
            py::gil_scoped_release release;
            close();
        } else {
            close();
        }
    }
    PyCamera(const PyCamera&) = delete;
    PyCamera& operator=(const PyCamera&) = delete;

    static constexpr uint64_t kDefaultBatchUs = 10000;

    const CameraDescription& description() const { return description_; }

    // The camera, or a RuntimeError once the handle is closed.
    std::shared_ptr<DvsCamera> camera() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!camera_) throw std::runtime_error("camera " + description_.serial + " is closed");
        return camera_;
    }

    // Ends recording and streaming and lets the camera go; runs once, later calls do nothing. A
    // record() waiting on another thread is woken and raises. Runs under the registry's lock, so that
    // open_camera does not open the camera again before it has been let go.
    void close();

private:
    void closeNow() {
        std::shared_ptr<DvsCamera> camera;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            camera.swap(camera_);
        }
        if (!camera) return;
        woken_.notify_all();
        if (camera->isRecording()) (void)camera->stopRecording();
        camera->stop();
        camera->setStatisticInfoCallback({});
    }

public:
    bool closed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return !camera_;
    }

    void start() {
        auto cam = camera();
        if (cam->start() != 0) throw std::runtime_error("camera " + description_.serial + " did not start");
    }

    void stop() {
        auto cam = camera();
        if (cam->stop() != 0)
            throw std::runtime_error("camera " + description_.serial + " did not stop cleanly");
    }

    // Waits in slices of 100 ms; `interrupt` (see record()) is asked between them.
    bool nextBatch(std::vector<Event2D>& out, std::chrono::milliseconds timeout,
                   const std::function<bool()>& interrupt) {
        auto cam = camera();
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            const auto slice = std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(100));
            if (cam->getNextBatch(out, slice)) return true;
            if (left <= slice || closed() || !cam->isStreaming()) return false;
            if (interrupt && interrupt()) throw Interrupted();
        }
    }

    py::dict statistics() const {
        auto cam = camera();
        const ZvStreamCounters counters = cam->getStreamCounters();
        py::dict out;
        out["event_rate"] = stats_->event_rate.load();
        out["data_rate"] = stats_->data_rate.load();
        out["samples"] = stats_->samples.load();
        out["lost_buffers"] = counters.lostBuffers;
        out["replaced_batches"] = counters.replacedBatches;
        out["recorder_dropped_bytes"] = counters.recorderDroppedBytes;
        out["streaming"] = cam->isStreaming();
        out["recording"] = cam->isRecording();
        return out;
    }

    static std::string recordingFailure(const DvsCamera& camera) {
        const RecorderError reason = camera.lastRecordingError();
        const ZvRecordingStatus status = camera.getRecordingStatus();
        std::string text = recorderErrorText(reason);
        if (status.reason == reason && !status.error.empty()) text += " (" + status.error + ")";
        return text;
    }

    void startRecording(const std::string& path) {
        auto cam = camera();
        if (cam->startRecording(path) != 0) {
            throw IoFailure("cannot record into \"" + path + "\": " + recordingFailure(*cam));
        }
        failure_reported_ = false;
    }

    ZvRecordingStatus stopRecording() {
        auto cam = camera();
        if (!cam->isRecording()) {
            // A recording that ended by itself on a failure (a full disk) is reported once, as a stop
            // that lost data would be.
            const ZvRecordingStatus status = cam->getRecordingStatus();
            if (status.failed && !failure_reported_) {
                failure_reported_ = true;
                std::string why = recorderErrorText(status.reason);
                if (!status.error.empty()) why += " (" + status.error + ")";
                throw IoFailure("recording \"" + status.path + "\" is incomplete: " + why);
            }
            throw std::runtime_error("camera " + description_.serial + " is not recording");
        }
        failure_reported_ = true;
        if (cam->stopRecording() != 0) {
            const ZvRecordingStatus status = cam->getRecordingStatus();
            throw IoFailure("recording \"" + status.path + "\" is incomplete: " + recordingFailure(*cam));
        }
        return cam->getRecordingStatus();
    }

    // Streams (starting the camera when it is not streaming, and stopping it again then) and records
    // `seconds` of the stream into `path`.
    // `interrupt`, called every 100 ms without the lock, ends the recording early when it returns true
    // (Interrupted is thrown after the recording was ended).
    ZvRecordingStatus record(const std::string& path, double seconds,
                             const std::function<bool()>& interrupt) {
        auto cam = camera();
        const bool was_streaming = cam->isStreaming();
        if (!was_streaming && cam->start() != 0) {
            throw std::runtime_error("camera " + description_.serial + " did not start");
        }
        auto stop_streaming = [&] {
            if (!was_streaming) cam->stop();
        };
        // record() reports the outcome of its own recording.
        failure_reported_ = true;
        if (cam->startRecording(path) != 0) {
            const std::string why = recordingFailure(*cam);
            stop_streaming();
            throw IoFailure("cannot record into \"" + path + "\": " + why);
        }
        // The recording's length, ended early when the device goes away, the handle is closed, the
        // camera stops streaming or recording, or a write fails.
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
        bool interrupted = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            for (;;) {
                if (!camera_) break;  // closed: close() ended the recording and the streaming
                if (!cam->isConnected() || !cam->isStreaming() || !cam->isRecording() ||
                    cam->getRecordingStatus().failed) {
                    break;
                }
                const auto now = std::chrono::steady_clock::now();
                if (now >= end) break;
                const auto slice = std::min(end, now + std::chrono::milliseconds(100));
                woken_.wait_until(lock, slice);
                if (!camera_) break;
                if (interrupt) {
                    lock.unlock();
                    interrupted = interrupt();
                    lock.lock();
                    if (interrupted) break;
                }
            }
        }
        if (closed()) {
            throw std::runtime_error("camera " + description_.serial + " closed during the recording of \"" +
                                     path + "\"");
        }
        const bool lost = !cam->isConnected();
        const bool ended_elsewhere = !lost && (!cam->isRecording() || !cam->isStreaming());
        const bool failed = cam->getRecordingStatus().failed;
        const bool complete = cam->stopRecording() == 0 && !failed;
        const std::string why = complete ? std::string() : recordingFailure(*cam);
        stop_streaming();
        const ZvRecordingStatus status = cam->getRecordingStatus();
        if (!complete) throw IoFailure("recording \"" + path + "\" is incomplete: " + why);
        if (lost)
            throw std::runtime_error("camera " + description_.serial + " went away during the recording");
        if (ended_elsewhere) {
            throw std::runtime_error("the recording of \"" + path + "\" on camera " + description_.serial +
                                     " was ended before its time");
        }
        if (interrupted) throw Interrupted();
        return status;
    }

    std::vector<std::string> toolNames() const {
        std::vector<std::string> names;
        for (const auto& info : camera()->getAllToolsInfo()) names.push_back(info.name);
        return names;
    }

    std::shared_ptr<PyTool> tool(const std::string& name) const {
        auto cam = camera();
        auto tool = cam->getTool(name);
        if (!tool) {
            std::string known;
            for (const auto& n : toolNames()) known += (known.empty() ? "" : ", ") + n;
            throw NotFound("camera " + description_.serial + " has no tool \"" + name +
                           "\" (tools: " + known + ")");
        }
        return std::make_shared<PyTool>(std::const_pointer_cast<PyCamera>(shared_from_this()),
                                        description_.serial, tool, name);
    }

    bool connected() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return camera_ && camera_->isConnected();
    }

private:
    mutable std::mutex mutex_;       // camera_
    std::condition_variable woken_;  // notified by close()
    std::shared_ptr<DvsCamera> camera_;
    std::shared_ptr<Statistics> stats_;
    CameraDescription description_;
    // The failure of the latest recording has reached Python (a stop raised it, or none is due).
    std::atomic<bool> failure_reported_{true};
};

void PyCamera::close() {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    closeNow();
}

PyTool::Use PyTool::use() const {
    const auto owner = owner_.lock();
    if (!owner) throw std::runtime_error("camera " + serial_ + " is closed");
    return Use{owner->camera(), tool_.get()};
}

std::vector<CameraDescription> findCameras() {
    Registry& r = registry();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    return r.get().getCameraDescs();
}

std::shared_ptr<PyCamera> openCamera(const std::optional<std::string>& wanted) {
    Registry& r = registry();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    const auto descs = r.get().getCameraDescs();
    std::string serial;
    if (wanted) {
        serial = *wanted;
        const auto it =
            std::find_if(descs.begin(), descs.end(), [&](const auto& d) { return d.serial == serial; });
        if (it == descs.end()) throw NotFound("no camera with serial \"" + serial + "\" was found");
        if (it->product == "Tandra") {
            throw std::runtime_error("camera \"" + serial +
                                     "\" is a fusion camera (Tandra): the module opens event cameras only");
        }
    } else {
        for (const auto& d : descs) {
            if (d.product != "Tandra") {
                serial = d.serial;
                break;
            }
        }
        if (serial.empty()) throw NotFound("no event camera was found");
    }
    // A handle of this camera that is still open is handed out again, unless its camera went away.
    for (const auto& w : r.handles) {
        auto open = w.lock();
        if (!open || open->closed() || open->description().serial != serial) continue;
        if (open->connected()) return open;
        open->close();
    }
    auto camera = r.get().openCamera(serial);
    if (!camera || !camera->isConnected()) throw std::runtime_error("cannot open camera \"" + serial + "\"");
    auto handle = std::make_shared<PyCamera>(std::move(camera));
    std::erase_if(r.handles, [](const auto& w) { return w.expired(); });
    r.handles.push_back(handle);
    return handle;
}

// At the interpreter's exit: every handle closed, then the cameras released (their threads joined).
void closeAll() {
    Registry& r = registry();
    std::vector<std::shared_ptr<PyCamera>> open;
    std::unique_ptr<DvsCameraManager> manager;
    {
        std::lock_guard<std::recursive_mutex> lock(r.mutex);
        for (const auto& w : r.handles) {
            if (auto h = w.lock()) open.push_back(std::move(h));
        }
        r.handles.clear();
        manager = std::move(r.manager);
    }
    for (const auto& h : open) h->close();
    manager.reset();
}

template <typename F>
auto released(F f) {
    py::gil_scoped_release release;
    return f();
}

// For a wait that runs without the GIL: true when a signal handler raised (Ctrl-C), the exception
// then being set. Takes the GIL only for the check.
bool signalRaised() {
    py::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() != 0;
}

}  // namespace

void bindCamera(py::module_& m) {
    // Converted after the search, with the GIL held.
    m.attr("list_cameras") = py::cpp_function(
        [] {
            const auto descs = released(findCameras);
            py::list out;
            for (const auto& d : descs) out.append(describe(d));
            return out;
        },
        py::name("list_cameras"),
        "The cameras found (simulated ones where no hardware is present), as dicts with serial, product, "
        "manufacturer, interface (\"USB\" or \"ETH\"), vendor_id, product_id, firmware_version, ip.");

    m.def(
        "open_camera",
        [](std::optional<std::string> serial) { return released([&] { return openCamera(serial); }); },
        py::arg("serial") = py::none(), R"doc(
Opens the event camera with this serial (None: the first event camera found). Raises LookupError when
no camera has that serial, RuntimeError when it cannot be opened (fusion cameras included). While a
camera's handle is open, opening its serial again gives that same handle.)doc");

    m.def(
        "_close_all",
        [] {
            released([] {
                closeAll();
                return 0;
            });
        },
        "Closes every camera handle and releases the cameras (called at the interpreter's exit).");

    py::class_<PyTool, std::shared_ptr<PyTool>>(m, "Tool", R"doc(
A camera tool (biases, ROI, trigger input, ...) with named parameters. Unknown parameter names raise
LookupError, a value of the wrong kind TypeError, a value the tool refuses ValueError; a value that
cannot be read from or applied to a camera that is no longer connected OSError.)doc")
        .def_property_readonly("name", &PyTool::name)
        .def_property_readonly("param_names", &PyTool::names)
        .def("params", &PyTool::params, "Every parameter's current value, by name.")
        .def("info", &PyTool::info, "Every parameter's kind, range, default, options and unit, by name.")
        .def("get", &PyTool::get, py::arg("name"))
        .def("set", &PyTool::set, py::arg("name"), py::arg("value"))
        .def("__repr__", [](const PyTool& t) { return "<zelvan.Tool " + t.name() + ">"; });

    py::class_<PyCamera, std::shared_ptr<PyCamera>>(m, "Camera", R"doc(
An open event camera (see open_camera). Batches of events (10 ms of event time by default) come
from next_batch once start() has been called. Closed by close(), by leaving a with block, when the
object is deleted and at the interpreter's exit: recording and streaming end then. Any use after
closing raises RuntimeError.)doc")
        .def_property_readonly("serial", [](const PyCamera& c) { return c.description().serial; })
        .def_property_readonly("product", [](const PyCamera& c) { return c.description().product; })
        .def_property_readonly("interface",
                               [](const PyCamera& c) { return interfaceName(c.description().interfaceType); })
        .def_property_readonly("width", [](const PyCamera& c) { return c.camera()->getWidth(); })
        .def_property_readonly("height", [](const PyCamera& c) { return c.camera()->getHeight(); })
        .def_property_readonly("is_streaming", [](const PyCamera& c) { return c.camera()->isStreaming(); })
        .def_property_readonly("is_recording", [](const PyCamera& c) { return c.camera()->isRecording(); })
        .def_property_readonly("closed", &PyCamera::closed)
        .def(
            "start",
            [](PyCamera& c) {
                released([&] {
                    c.start();
                    return 0;
                });
            },
            "Starts streaming (RuntimeError when it fails).")
        .def(
            "stop",
            [](PyCamera& c) {
                released([&] {
                    c.stop();
                    return 0;
                });
            },
            "Ends streaming.")
        .def("close",
             [](PyCamera& c) {
                 released([&] {
                     c.close();
                     return 0;
                 });
             })
        .def(
            "set_batch_time",
            [](PyCamera& c, int64_t us) {
                if (us <= 0) throw BadData("the batch time must be positive");
                c.camera()->setBatchEventsTime(static_cast<uint64_t>(us));
            },
            py::arg("us"), "Batches of this many us of event time.")
        .def(
            "set_batch_count",
            [](PyCamera& c, int64_t n) {
                if (n <= 0) throw BadData("the batch size must be positive");
                c.camera()->setBatchEventsNum(static_cast<uint64_t>(n));
            },
            py::arg("events"), "Batches of this many events.")
        .def(
            "next_batch",
            [](PyCamera& c, double timeout) -> py::object {
                if (!(timeout >= 0) || timeout > 86400)
                    throw BadData("timeout must be between 0 and 86400 s");
                std::vector<Event2D> batch;
                const bool got = released([&] {
                    return c.nextBatch(
                        batch, std::chrono::milliseconds(static_cast<int64_t>(std::ceil(timeout * 1000))),
                        signalRaised);
                });
                if (!got) return py::none();
                return eventArray(std::move(batch));
            },
            py::arg("timeout") = 1.0, R"doc(
The next completed batch as a structured array of EVENT_DTYPE, waiting at most `timeout` seconds.
None when the timeout passed first, and at once when the camera is not streaming. A batch is given
to a call that waits when it completes: batches that complete while no call waits are replaced by
the next one and their events skipped (statistics()["replaced_batches"] counts them), so a reader
that must see every event keeps its work per batch shorter than the batch time.)doc")
        .def("statistics", &PyCamera::statistics, R"doc(
A dict: event_rate (events/s) and data_rate (bytes/s) of the latest once-a-second sample (0 before
the first), samples (how many came), lost_buffers, replaced_batches, recorder_dropped_bytes,
streaming, recording.)doc")
        .def(
            "start_recording",
            [](PyCamera& c, const py::object& path_like) {
                const std::string path = fsPath(path_like);
                released([&] {
                    c.startRecording(path);
                    return 0;
                });
            },
            py::arg("path"), "Starts recording the raw stream into path (OSError when it cannot).")
        .def(
            "stop_recording",
            [](PyCamera& c) { return recordingStatus(released([&] { return c.stopRecording(); })); },
            "Ends the recording; its status as a dict. OSError when data were lost, also by a recording "
            "that ended by itself on a failure (a full disk; reported once), RuntimeError when no "
            "recording runs.")
        .def(
            "record",
            [](PyCamera& c, const py::object& path_like, double seconds) {
                const std::string path = fsPath(path_like);
                if (!(seconds >= 0) || seconds > 86400) throw BadData("seconds must be between 0 and 86400");
                return recordingStatus(released([&] { return c.record(path, seconds, signalRaised); }));
            },
            py::arg("path"), py::arg("seconds"), R"doc(
Records `seconds` of the stream into path, starting streaming for it when the camera does not stream
(and stopping it after). Returns the recording's status as a dict (path, bytes_written, ...).
OSError when the file cannot be written or data were lost (a write failure ends the recording at
once); RuntimeError when the camera is closed, goes away, or stops streaming or recording before the
time is up.)doc")
        .def_property_readonly("tool_names", &PyCamera::toolNames)
        .def("tool", &PyCamera::tool, py::arg("name"),
             "The tool of that name (LookupError when there is none).")
        .def("__enter__", [](std::shared_ptr<PyCamera> c) { return c; })
        .def("__exit__",
             [](PyCamera& c, py::args) {
                 released([&] {
                     c.close();
                     return 0;
                 });
             })
        .def("__repr__", [](const PyCamera& c) {
            return "<zelvan.Camera " + c.description().serial + " " + c.description().product + ">";
        });

    py::module_::import("atexit").attr("register")(m.attr("_close_all"));
}

}  // namespace zelvan::python
