#include "py_types.h"

#include "params/parameter_table.h"

namespace mk27x::python {
namespace {

// Created at import and kept for the life of the interpreter.
py::object* identity_type = nullptr;
py::object* parameter_type = nullptr;
py::object* found_type = nullptr;
py::object* difference_type = nullptr;

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
    for (const RecordedSample& s : samples) {
        ns.push_back(s.time.monotonic_ns);
        mm.push_back(s.mm);
    }
}

py::tuple SampleColumns::Arrays(std::int64_t first_ns) const {
    py::array_t<double> t(static_cast<py::ssize_t>(ns.size()));
    double* out = t.mutable_data();
    for (std::size_t i = 0; i < ns.size(); ++i)
        out[i] = static_cast<double>(ns[i] - first_ns) * 1e-9;
    return py::make_tuple(t, DistanceArray(mm));
}

py::array_t<double> DistanceArray(const std::vector<float>& mm) {
    py::array_t<double> a(static_cast<py::ssize_t>(mm.size()));
    double* out = a.mutable_data();
    for (std::size_t i = 0; i < mm.size(); ++i) out[i] = mm[i];
    return a;
}

}  // namespace mk27x::python
