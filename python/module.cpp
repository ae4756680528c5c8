// The mk27x Python module: the sensor session for test benches and notebooks.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "py_sensor.h"
#include "py_stream.h"
#include "py_types.h"
#include "session/sensor_search.h"

namespace mk27x::python {
namespace {

py::list Search(const std::optional<std::vector<std::string>>& ports, bool full) {
    const std::vector<std::string> list = ports ? *ports : DefaultSearchPorts();
    SensorSearch search(SystemClock::Instance(), RealSearchOpener());
    std::atomic<bool> closing{false};
    Interrupt interrupt(closing);
    SearchResult result;
    {
        py::gil_scoped_release release;
        search.events.progress = [&](std::size_t, std::size_t) {
            if (interrupt()) search.Cancel();
        };
        result = search.Run(full ? FullSearchPlan(list) : QuickSearchPlan(list));
    }
    if (interrupt.Raised()) interrupt.Rethrow();
    py::list found;
    for (const FoundSensor& f : result.found) found.append(FoundTuple(f));
    return found;
}

constexpr const char* kModuleDoc = R"(MK27x laser distance sensors from Python.

The module is the setup program's own sensor session: every call is what the
window or the mk27x command line does, and fails with the program's text.

    import mk27x
    with mk27x.Sensor("/dev/ttyUSB0", baud=115200, address=1) as s:
        print(s.identity)
        t, mm = s.stream(seconds=2.0)
        start = s.stream(seconds=1.0).t0  # the first sample's UNIX time

Ports: "COM1".."COM4" (/dev/ttyS0..3), "USB" (the first FTDI adapter), a
serial device path, or a network serial server "tcp://HOST:PORT" or
"rfc2217://HOST:PORT". Sensor.simulator() gives a virtual sensor, no hardware.

Exceptions: Error and its subclasses PortError (the port cannot be opened, or
the sensor is closed), NoAnswer (the sensor did not answer as it should),
FileError (a file that cannot be read or written); ValueError for a parameter
text that is refused, before anything is sent. Other Python threads run while
the module waits for the sensor; Ctrl-C stops measure(), stream() and
stream_chunks() cleanly (the stream is told to stop) and raises
KeyboardInterrupt.)";

}  // namespace

PYBIND11_MODULE(mk27x, m) {
    // Every docstring starts with its Python signature, which inspect.signature
    // reads (names and defaults); the types are in mk27x.pyi.
    py::options options;
    options.disable_function_signatures();
    m.doc() = kModuleDoc;
    m.attr("__version__") = MK27X_VERSION;
    static py::exception<Error> error(m, "Error");
    error.doc() = "Base of the module's errors; str() is the program's text.";
    static py::exception<PortError> port_error(m, "PortError", error.ptr());
    port_error.doc() =
        "The port cannot be opened (the program's text says why), or the "
        "sensor was closed.";
    static py::exception<NoAnswer> no_answer(m, "NoAnswer", error.ptr());
    no_answer.doc() =
        "The sensor did not answer, or did not answer as it should. From stream() and "
        "stream_chunks(), t, mm and t0 are the samples recorded before the loss (as "
        "stream() returns them); None elsewhere.";
    for (const char* name : {"t", "mm", "t0"}) no_answer.attr(name) = py::none();
    static py::exception<FileError> file_error(m, "FileError", error.ptr());
    file_error.doc() =
        "A file (calibration table, parameter file, trace) cannot be read or "
        "written, or is refused.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const PortError& e) {
            port_error(e.what());
        } catch (const NoAnswer& e) {
            no_answer(e.what());
        } catch (const FileError& e) {
            file_error(e.what());
        } catch (const Error& e) {
            error(e.what());
        }
    });

    InitTypes(m);
    BindChunkStream(m);
    BindSensor(m);

    m.def("search", &Search, py::arg("ports") = py::none(), py::arg("full") = false,
          R"(search(ports=None, full=False)
--

Looks for sensors: Identify at every rate, address 1 (full=True: addresses
1 to 127) on each port (default COM1..COM4 and USB). Ports that cannot be
opened are skipped. Returns a list of Found(port, baud, address, identity).
No sensor is changed and no port is left open; Ctrl-C ends the search.)");
}

}  // namespace mk27x::python
