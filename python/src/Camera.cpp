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
    std::mutex mutex;
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

class PyTool {
public:
    PyTool(std::shared_ptr<DvsCamera> camera, std::shared_ptr<CameraTool> tool, std::string name)
        : camera_(std::move(camera)), tool_(std::move(tool)), name_(std::move(name)) {}

    const std::string& name() const { return name_; }

    std::vector<std::string> names() const { return tool_->registeredParameterNames(); }

    ParameterType kindOf(const std::string& param) const {
        const auto all = tool_->getAllParamInfo();
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
                ok = released([&] { return tool_->getParam(param, v); });
                value = py::int_(v);
                break;
            }
            case PARAM_FLOAT: {
                float v = 0;
                ok = released([&] { return tool_->getParam(param, v); });
                value = py::float_(v);
                break;
            }
            case PARAM_BOOL: {
                bool v = false;
                ok = released([&] { return tool_->getParam(param, v); });
                value = py::bool_(v);
                break;
            }
            case PARAM_STRING:
            case PARAM_ENUM: {
                std::string v;
                ok = released([&] { return tool_->getParam(param, v); });
                value = py::str(v);
                break;
            }
        }
        if (!ok) throw std::runtime_error("cannot read " + name_ + "." + param + " from the camera");
        return value;
    }

    void set(const std::string& param, const py::handle& value) {
        const ParameterType kind = kindOf(param);
        const std::string what = name_ + "." + param;
        bool ok = false;
        std::string allowed;
        switch (kind) {
            case PARAM_INT: {
                if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value)) {
                    throw WrongType(what + " takes an int");
                }
                IntParameterInfo info;
                tool_->getParamInfo(param, info);
                allowed = " (" + std::to_string(info.min) + " to " + std::to_string(info.max) + ")";
                long long v = 0;
                try {
                    v = value.cast<long long>();
                } catch (const py::cast_error&) {
                    throw BadData(what + " = " + py::str(value).cast<std::string>() + " is refused" +
                                  allowed);
                }
                if (v < info.min || v > info.max)
                    throw BadData(what + " = " + std::to_string(v) + " is refused" + allowed);
                ok = released([&] { return tool_->setParam(param, static_cast<int>(v)); });
                if (!ok) throw BadData(what + " = " + std::to_string(v) + " is refused" + allowed);
                return;
            }
            case PARAM_FLOAT: {
                if (py::isinstance<py::bool_>(value) ||
                    !(py::isinstance<py::float_>(value) || py::isinstance<py::int_>(value))) {
                    throw WrongType(what + " takes a float");
                }
                FloatParameterInfo info;
                tool_->getParamInfo(param, info);
                const double v = value.cast<double>();
                ok = std::isfinite(v) && released([&] { return tool_->setParam(param, v); });
                if (!ok) {
                    throw BadData(what + " = " + std::to_string(v) + " is refused (" +
                                  std::to_string(info.min) + " to " + std::to_string(info.max) + ")");
                }
                return;
            }
            case PARAM_BOOL: {
                if (!py::isinstance<py::bool_>(value)) throw WrongType(what + " takes a bool");
                const bool v = value.cast<bool>();
                ok = released([&] { return tool_->setParam(param, v); });
                if (!ok) throw BadData(what + " = " + (v ? "True" : "False") + " is refused");
                return;
            }
            case PARAM_STRING:
            case PARAM_ENUM: {
                if (!py::isinstance<py::str>(value)) throw WrongType(what + " takes a str");
                const std::string v = value.cast<std::string>();
                if (kind == PARAM_ENUM) {
                    EnumParameterInfo info;
                    tool_->getParamInfo(param, info);
                    for (const auto& option : info.options)
                        allowed += (allowed.empty() ? " (one of " : ", ") + option;
                    if (!allowed.empty()) allowed += ")";
                }
                ok = released([&] { return tool_->setParam(param, v); });
                if (!ok) throw BadData(what + " = \"" + v + "\" is refused" + allowed);
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
        for (const auto& [param, basic] : tool_->getAllParamInfo()) {
            py::dict d;
            d["type"] = kindName(basic.type);
            d["description"] = basic.description;
            switch (basic.type) {
                case PARAM_INT: {
                    IntParameterInfo i;
                    tool_->getParamInfo(param, i);
                    d["min"] = i.min;
                    d["max"] = i.max;
                    d["default"] = i.default_value;
                    d["unit"] = i.unit;
                    break;
                }
                case PARAM_FLOAT: {
                    FloatParameterInfo i;
                    tool_->getParamInfo(param, i);
                    d["min"] = i.min;
                    d["max"] = i.max;
                    d["default"] = i.default_value;
                    d["unit"] = i.unit;
                    break;
                }
                case PARAM_BOOL: {
                    BoolParameterInfo i;
                    tool_->getParamInfo(param, i);
                    d["default"] = i.default_value;
                    break;
                }
                case PARAM_ENUM: {
                    EnumParameterInfo i;
                    tool_->getParamInfo(param, i);
                    d["options"] = i.options;
                    d["default"] = i.default_value;
                    break;
                }
                case PARAM_STRING: {
                    StringParameterInfo i;
                    tool_->getParamInfo(param, i);
                    d["default"] = i.default_value;
                    break;
                }
            }
            out[py::str(param)] = d;
        }
        return out;
    }

private:
    template <typename F>
    static bool released(F f) {
        py::gil_scoped_release release;
        return f();
    }

    std::shared_ptr<DvsCamera> camera_;  // keeps the camera, and so its register access, alive
    std::shared_ptr<CameraTool> tool_;
    std::string name_;
};

class PyCamera {
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
    ~PyCamera() { close(); }
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

    // Ends recording and streaming and lets the camera go; runs once, later calls do nothing.
    void close() {
        std::shared_ptr<DvsCamera> camera;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            camera.swap(camera_);
        }
        if (!camera) return;
        if (camera->isRecording()) (void)camera->stopRecording();
        camera->stop();
        camera->setStatisticInfoCallback({});
    }

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

    bool nextBatch(std::vector<Event2D>& out, std::chrono::milliseconds timeout) {
        auto cam = camera();
        return cam->getNextBatch(out, timeout);
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
    }

    ZvRecordingStatus stopRecording() {
        auto cam = camera();
        if (cam->stopRecording() != 0) {
            const ZvRecordingStatus status = cam->getRecordingStatus();
            throw IoFailure("recording \"" + status.path + "\" is incomplete: " + recordingFailure(*cam));
        }
        return cam->getRecordingStatus();
    }

    // Streams (starting the camera when it is not streaming, and stopping it again then) and records
    // `seconds` of the stream into `path`.
    ZvRecordingStatus record(const std::string& path, double seconds) {
        auto cam = camera();
        const bool was_streaming = cam->isStreaming();
        if (!was_streaming && cam->start() != 0) {
            throw std::runtime_error("camera " + description_.serial + " did not start");
        }
        auto stop_streaming = [&] {
            if (!was_streaming) cam->stop();
        };
        if (cam->startRecording(path) != 0) {
            const std::string why = recordingFailure(*cam);
            stop_streaming();
            throw IoFailure("cannot record into \"" + path + "\": " + why);
        }
        // The recording's length, ended early when the device goes away.
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
        {
            std::mutex m;
            std::condition_variable cv;
            std::unique_lock<std::mutex> lock(m);
            while (std::chrono::steady_clock::now() < end && cam->isConnected()) {
                cv.wait_until(
                    lock, std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
            }
        }
        const bool lost = !cam->isConnected();
        const bool complete = cam->stopRecording() == 0;
        const std::string why = complete ? std::string() : recordingFailure(*cam);
        stop_streaming();
        const ZvRecordingStatus status = cam->getRecordingStatus();
        if (!complete) throw IoFailure("recording \"" + path + "\" is incomplete: " + why);
        if (lost)
            throw std::runtime_error("camera " + description_.serial + " went away during the recording");
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
        return std::make_shared<PyTool>(cam, tool, name);
    }

private:
    mutable std::mutex mutex_;  // camera_
    std::shared_ptr<DvsCamera> camera_;
    std::shared_ptr<Statistics> stats_;
    CameraDescription description_;
};

std::vector<CameraDescription> findCameras() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.get().getCameraDescs();
}

std::shared_ptr<PyCamera> openCamera(const std::optional<std::string>& wanted) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
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
    // A handle of this camera that is still open is handed out again.
    for (const auto& w : r.handles) {
        auto open = w.lock();
        if (open && !open->closed() && open->description().serial == serial) return open;
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
        std::lock_guard<std::mutex> lock(r.mutex);
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
LookupError, a value of the wrong kind TypeError, a value the tool refuses ValueError.)doc")
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
                        batch, std::chrono::milliseconds(static_cast<int64_t>(std::ceil(timeout * 1000))));
                });
                if (!got) return py::none();
                return eventArray(std::move(batch));
            },
            py::arg("timeout") = 1.0, R"doc(
The next completed batch as a structured array of EVENT_DTYPE, waiting at most `timeout` seconds.
None when the timeout passed first, and at once when the camera is not streaming.)doc")
        .def("statistics", &PyCamera::statistics, R"doc(
A dict: event_rate (events/s) and data_rate (bytes/s) of the latest once-a-second sample (0 before
the first), samples (how many came), lost_buffers, replaced_batches, recorder_dropped_bytes,
streaming, recording.)doc")
        .def(
            "start_recording",
            [](PyCamera& c, const std::string& path) {
                released([&] {
                    c.startRecording(path);
                    return 0;
                });
            },
            py::arg("path"), "Starts recording the raw stream into path (OSError when it cannot).")
        .def(
            "stop_recording",
            [](PyCamera& c) { return recordingStatus(released([&] { return c.stopRecording(); })); },
            "Ends the recording; its status as a dict. OSError when data were lost.")
        .def(
            "record",
            [](PyCamera& c, const std::string& path, double seconds) {
                if (!(seconds >= 0) || seconds > 86400) throw BadData("seconds must be between 0 and 86400");
                return recordingStatus(released([&] { return c.record(path, seconds); }));
            },
            py::arg("path"), py::arg("seconds"), R"doc(
Records `seconds` of the stream into path, starting streaming for it when the camera does not stream
(and stopping it after). Returns the recording's status as a dict (path, bytes_written, ...).
OSError when the file cannot be written or data were lost.)doc")
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
