#include "py_types.h"

#include <pybind11/eval.h>

#include "params/parameter_table.h"

namespace mk27x::python {
namespace {

// Created at import and kept for the life of the interpreter.
py::object* identity_type = nullptr;
py::object* parameter_type = nullptr;
py::object* found_type = nullptr;
py::object* difference_type = nullptr;
py::object* samples_type = nullptr;

// (t, mm) as a named pair that also knows the UNIX time of its first sample,
// so that recordings of several sensors can be put on one time axis.
constexpr const char* kSamplesCode = R"py(
import collections

class Samples(collections.namedtuple("Samples", ["t", "mm"])):
    '''Samples of a stream: t, the times in seconds since the first sample, and
mm, the distances in mm, both NumPy float64 arrays. t0 is the first sample's
UNIX time in seconds (None without samples): t0 + t are the samples' UNIX
times, which put the recordings of several sensors on one axis. Unpacks as
t, mm = ...'''

    def __new__(cls, t, mm, t0=None):
        self = super().__new__(cls, t, mm)
        self.t0 = t0
        return self

    def __repr__(self):
        return f"Samples({len(self.t)} samples, t0={self.t0!r})"
)py";

py::object* NamedTuple(py::module_& m, const char* name, std::initializer_list<const char*> fields,
                       const char* doc) {
    py::list names;
    for (const char* f : fields) names.append(f);
    py::object type = py::module_::import("collections").attr("namedtuple")(name, names);
    type.attr("__module__") = "mk27x";
    type.attr("__doc__") = doc;
    m.attr(name) = type;
    return new py::object(type);
}

}  // namespace

void InitTypes(py::module_& m) {
    py::dict scope;
    py::exec(kSamplesCode, scope);
    py::object samples = scope["Samples"];
    samples.attr("__module__") = "mk27x";
    m.attr("Samples") = samples;
    samples_type = new py::object(samples);
    identity_type =
        NamedTuple(m, "Identity", {"model", "release", "serial", "base_mm", "range_mm"},
                   "The sensor's identity: model and release numbers, serial number, base "
                   "distance and measuring range in mm.");
    parameter_type = NamedTuple(m, "Parameter", {"index", "name", "value", "text"},
                                "One of the 20 parameters: its row (0..19), its name as the "
                                "window shows it, the raw 16-bit value and the grid's text.");
    found_type = NamedTuple(m, "Found", {"port", "baud", "address", "identity"},
                            "A sensor found by search(): port, baud rate, address and its "
                            "Identity.");
    difference_type = NamedTuple(m, "Difference", {"index", "name", "file", "sensor"},
                                 "A parameter that differs after clone(): the file's value and "
                                 "the value the sensor holds.");
}

py::object IdentityTuple(const SensorIdentity& id) {
    return (*identity_type)(int{id.Model}, int{id.Release}, int{id.SerialNumber},
                            int{id.BaseDistance}, int{id.MeasuringRange});
}

py::object ParameterTuple(int index, std::uint16_t value, const std::string& text) {
    const std::string_view name = ParameterTable[static_cast<std::size_t>(index)].name;
    return (*parameter_type)(index, py::str(name.data(), name.size()), int{value}, text);
}

py::object FoundTuple(const FoundSensor& found) {
    return (*found_type)(found.port, found.baud, int{found.address}, IdentityTuple(found.identity));
}

py::object DifferenceTuple(int index, std::uint16_t file, std::uint16_t sensor) {
    const std::string_view name = ParameterTable[static_cast<std::size_t>(index)].name;
    return (*difference_type)(index, py::str(name.data(), name.size()), int{file}, int{sensor});
}

void SampleColumns::Append(std::span<const RecordedSample> samples) {
    if (!first && !samples.empty())
        first = FirstSample{samples.front().time.monotonic_ns, samples.front().time.wall_ns};
    for (const RecordedSample& s : samples) {
        ns.push_back(s.time.monotonic_ns);
        mm.push_back(s.mm);
    }
}

py::object SampleColumns::Arrays(const std::optional<FirstSample>& origin) const {
    const std::int64_t first_ns = origin ? origin->monotonic_ns : 0;
    py::array_t<double> t(static_cast<py::ssize_t>(ns.size()));
    double* out = t.mutable_data();
    for (std::size_t i = 0; i < ns.size(); ++i)
        out[i] = static_cast<double>(ns[i] - first_ns) * 1e-9;
    py::object t0 = py::none();
    if (origin) t0 = py::float_(static_cast<double>(origin->wall_ns) * 1e-9);
    return (*samples_type)(t, DistanceArray(mm), t0);
}

void RaiseNoAnswer(const std::string& text, const py::object& samples) {
    py::object no_answer = py::module_::import("mk27x").attr("NoAnswer");
    py::object error = no_answer(text);
    error.attr("t") = samples.attr("t");
    error.attr("mm") = samples.attr("mm");
    error.attr("t0") = samples.attr("t0");
    PyErr_SetObject(no_answer.ptr(), error.ptr());
    throw py::error_already_set();
}

py::array_t<double> DistanceArray(const std::vector<float>& mm) {
    py::array_t<double> a(static_cast<py::ssize_t>(mm.size()));
    double* out = a.mutable_data();
    for (std::size_t i = 0; i < mm.size(); ++i) out[i] = mm[i];
    return a;
}

}  // namespace mk27x::python
