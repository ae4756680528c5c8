// The Python classes Sensor and StreamChunks with their docstrings.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "py_sensor.h"
#include "py_stream.h"
#include "virtual_sensor.h"

namespace mk27x::python {
namespace {

sim::MeasurementSource::Kind SourceKind(const std::string& name) {
    if (name == "constant") return sim::MeasurementSource::Kind::kConstant;
    if (name == "ramp") return sim::MeasurementSource::Kind::kRamp;
    if (name == "sine") return sim::MeasurementSource::Kind::kSine;
    throw py::value_error("source must be 'constant', 'ramp' or 'sine'");
}

template <typename T>
T Checked(long long v, long long min, long long max, const char* name) {
    if (v < min || v > max)
        throw py::value_error(std::string(name) + " must be " + std::to_string(min) + " to " +
                              std::to_string(max));
    return static_cast<T>(v);
}

std::shared_ptr<Sensor> MakeSimulator(bool pty, std::uint32_t baud, int address, int model,
                                      int release, int serial, int base_mm, int range_mm,
                                      const std::string& source, int value, int amplitude,
                                      int period, int noise, double stream_rate,
                                      std::optional<long long> silent_after,
                                      std::optional<long long> stream_stop_after,
                                      const std::optional<std::string>& trace) {
    sim::SensorConfig c;
    c.identity = {Checked<std::uint8_t>(model, 0, 255, "model"),
                  Checked<std::uint8_t>(release, 0, 255, "release"),
                  Checked<std::uint16_t>(serial, 0, 65535, "serial"),
                  Checked<std::uint16_t>(base_mm, 0, 65535, "base_mm"),
                  Checked<std::uint16_t>(range_mm, 0, 65535, "range_mm")};
    c.baud = baud;
    c.address = Checked<std::uint8_t>(address, 1, 127, "address");
    c.source.kind = SourceKind(source);
    c.source.value = value;
    c.source.amplitude = amplitude;
    c.source.period = Checked<std::uint32_t>(period, 1, 1LL << 31, "period");
    c.source.noise = Checked<std::int32_t>(noise, 0, 32767, "noise");
    if (silent_after)
        c.faults.silent_after_requests =
            Checked<std::uint32_t>(*silent_after, 0, 1LL << 31, "silent_after");
    if (stream_stop_after)
        c.faults.stream_stop_after_frames =
            Checked<std::uint64_t>(*stream_stop_after, 0, 1LL << 62, "stream_stop_after");
    if (!(stream_rate >= 0)) throw py::value_error("stream_rate must be at least 0");
    return Sensor::Simulator(c, pty, stream_rate, trace);
}

}  // namespace

void BindChunkStream(py::module_& m) {
    py::class_<ChunkStream>(m, "StreamChunks", R"(The iterator of Sensor.stream_chunks().

Each step yields Samples(t, mm): the samples that came since the last step, as
NumPy float64 arrays of sample times in seconds since the stream's first sample
and distances in mm; t0 is the UNIX time of the stream's first sample. NoAnswer
when the stream falls silent, carrying the samples not yet handed over. The
stream starts at the first step and stops when the time
is up, at break (when the iterator goes), close(), Ctrl-C or when the sensor
is closed.)")
        .def(
            "__iter__", [](ChunkStream& c) -> ChunkStream& { return c; }, "__iter__(self)\n--\n\n")
        .def("__next__", &ChunkStream::Next,
             "__next__(self)\n--\n\nThe next chunk, Samples(t, mm).")
        .def("close", &ChunkStream::Close,
             "close(self)\n--\n\nStops the stream (the stop request sent, the reader idle); "
             "idempotent.")
        .def(
            "__enter__", [](ChunkStream& c) -> ChunkStream& { return c; },
            "__enter__(self)\n--\n\n")
        .def(
            "__exit__", [](ChunkStream& c, py::args) { c.Close(); },
            "__exit__(self, *args)\n--\n\nStops the stream.")
        .def_property_readonly("dropped", &ChunkStream::Dropped,
                               "Samples dropped because more than max_pending were waiting.")
        .def_property_readonly("finished", &ChunkStream::Finished,
                               "True once the stream is stopped.");
}

void BindSensor(py::module_& m) {
    py::class_<Sensor, std::shared_ptr<Sensor>>(
        m, "Sensor", R"(Sensor(port='USB', baud=115200, address=1, trace=None)
--

One MK27x sensor on a port.

Sensor(port="USB", baud=115200, address=1, trace=None) opens the port,
identifies the sensor and reads its 20 parameters; it raises PortError when
the port cannot be opened and NoAnswer when the sensor does not answer.
trace names a file that gets every request and reply (as mk27x --trace).

Use it in a with block, or call close(): a running stream is stopped and the
port closed (garbage collection does the same). A closed sensor raises
PortError on use. One call runs at a time; other threads wait for it.)")
        .def(py::init(&Sensor::Open), py::arg("port") = "USB", py::arg("baud") = 115200,
             py::arg("address") = 1, py::arg("trace") = py::none(),
             "__init__(self, port='USB', baud=115200, address=1, trace=None)\n--\n\n"
             "Opens the port and connects to the sensor.")
        .def_static("simulator", &MakeSimulator, py::kw_only(), py::arg("pty") = true,
                    py::arg("baud") = 115200, py::arg("address") = 1, py::arg("model") = 27,
                    py::arg("release") = 2, py::arg("serial") = 1234, py::arg("base_mm") = 100,
                    py::arg("range_mm") = 50, py::arg("source") = "constant",
                    py::arg("value") = 8192, py::arg("amplitude") = 0, py::arg("period") = 100,
                    py::arg("noise") = 0, py::arg("stream_rate") = 2000.0,
                    py::arg("silent_after") = py::none(), py::arg("stream_stop_after") = py::none(),
                    py::arg("trace") = py::none(),
                    R"(simulator(*, pty=True, baud=115200, address=1, model=27, release=2,
          serial=1234, base_mm=100, range_mm=50, source='constant', value=8192,
          amplitude=0, period=100, noise=0, stream_rate=2000.0,
          silent_after=None, stream_stop_after=None, trace=None)
--

A connected Sensor on the program's virtual sensor, no hardware.

pty=True serves it on a pseudo-terminal through the real serial backend (as
mk27x --simulator and mk27x-sim); pty=False wires it in process, where a
stream runs as fast as the reader takes it. baud and address are the
sensor's; model, release, serial, base_mm and range_mm its identity; source
('constant', 'ramp', 'sine'), value, amplitude, period and noise its
measurements in raw units of 1/16384 of the range; stream_rate its frames per
second on the pty (0: as fast as the pty takes them); silent_after makes it
swallow every request after that many, stream_stop_after its stream fall
silent after that many frames.)")
        .def_property_readonly("identity", &Sensor::Identity,
                               "Identity(model, release, serial, base_mm, range_mm).")
        .def_property_readonly("port", &Sensor::Port, "The port's name.")
        .def_property_readonly("baud", &Sensor::Baud, "The link's baud rate.")
        .def_property_readonly("address", &Sensor::Address, "The sensor's address.")
        .def_property_readonly("closed", &Sensor::Closed, "True after close().")
        .def("params", &Sensor::Params,
             "params(self)\n--\n\n"
             "The 20 parameters as last read: a list of Parameter(index, name, value, text).")
        .def("set", &Sensor::Set, py::arg("entries"),
             R"(set(self, entries)
--

Writes parameters: {name or index: text}, the name as the window shows it
(case ignored), the text what an operator would type into the grid's cell
(numbers are taken as their text). Every text is checked as the grid checks
it before anything is sent (ValueError naming the parameter); then the
writes, 100 ms, and all parameters read back (NoAnswer when that fails).)")
        .def("measure", &Sensor::Measure, py::arg("count") = 1, py::arg("dev") = false,
             R"(measure(self, count=1, dev=False)
--

count measurements 50 ms apart (dev=True: the Measure Dev command), as a
NumPy float64 array of distances in mm. NoAnswer when one is not answered.)")
        .def("stream", &Sensor::Stream, py::arg("seconds"),
             R"(stream(self, seconds)
--

The sensor's stream for the given seconds: Samples(t, mm), NumPy float64
arrays of every sample's time in seconds since the first sample and its
distance in mm, with t0 the first sample's UNIX time. The stop request is
sent at the end, at Ctrl-C and at close(). NoAnswer when the stream falls
silent or brings no sample at all; the exception's t, mm and t0 are the
samples recorded before.)")
        .def("stream_chunks", &Sensor::StreamChunks, py::arg("seconds") = py::none(),
             py::arg("max_pending") = 1000000,
             R"(stream_chunks(self, seconds=None, max_pending=1000000)
--

The stream, handed over as it comes: an iterator of Samples(t, mm) chunks (see
StreamChunks), until the seconds are up (None: until break, close() or
Ctrl-C). At most max_pending samples wait for the loop; beyond that the
oldest are dropped and counted. Other calls on the sensor raise meanwhile.)")
        .def("teach", &Sensor::Teach,
             "teach(self)\n--\n\nThe sensor's teach function, then all parameters read back.")
        .def("flash", &Sensor::Flash,
             "flash(self)\n--\n\nThe sensor stores its parameters in FLASH.")
        .def("restore", &Sensor::Restore,
             "restore(self)\n--\n\n"
             "The sensor restores its factory parameters in FLASH; the link goes back to "
             "115200 baud, address 1, and the parameters are read back.")
        .def("upload", &Sensor::Upload, py::arg("path"), py::arg("progress") = py::none(),
             R"(upload(self, path, progress=None)
--

Writes a calibration table (*.tbl) into the sensor in acknowledged blocks.
The file is checked whole first (FileError). progress(done, total) is called
after every block; an exception it raises (or Ctrl-C) ends the upload after
the block in flight and is raised.)")
        .def("backup", &Sensor::Backup, py::arg("path"),
             "backup(self, path)\n--\n\n"
             "Writes the parameters with the sensor's identity to a parameter file "
             "(JSON); FileError when it cannot be written.")
        .def("clone", &Sensor::Clone, py::arg("path"),
             R"(clone(self, path)
--

Writes a parameter file's set into the sensor as Load All does, reads it
back and returns the parameters that differ, as a list of
Difference(index, name, file, sensor): empty when all 20 are in. A file from
another model is taken without asking. FileError for a bad file.)")
        .def("close", &Sensor::Close,
             "close(self)\n--\n\n"
             "Stops a running stream, closes the port (and the virtual sensor); idempotent.")
        .def(
            "__enter__", [](std::shared_ptr<Sensor> s) { return s; }, "__enter__(self)\n--\n\n")
        .def(
            "__exit__", [](Sensor& s, py::args) { s.Close(); },
            "__exit__(self, *args)\n--\n\nCloses the sensor.")
        .def("__repr__",
             [](Sensor& s) {
                 if (s.Closed()) return std::string("<mk27x.Sensor closed>");
                 return "<mk27x.Sensor " + s.Port() + " " + std::to_string(s.Baud()) +
                        " baud, address " + std::to_string(s.Address()) + ">";
             })
        .def("_measure_baseline", &Sensor::MeasureBaseline, py::arg("count"),
             "_measure_baseline(self, count)\n--\n\n"
             "For the benchmark: seconds of count one-sample series run from C++.");
}

}  // namespace mk27x::python
