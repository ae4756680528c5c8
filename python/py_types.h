// The module's plain result types: named tuples made once at import.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>
#include <vector>

#include "link/codec.h"
#include "link/recording_sink.h"
#include "session/sensor_search.h"

namespace mk27x::python {

namespace py = pybind11;

// Creates Identity, Parameter, Found and Difference in `m`.
void InitTypes(py::module_& m);

py::object IdentityTuple(const SensorIdentity& id);
py::object ParameterTuple(int index, std::uint16_t value, const std::string& text);
py::object FoundTuple(const FoundSensor& found);
py::object DifferenceTuple(int index, std::uint16_t file, std::uint16_t sensor);

// Samples as NumPy arrays: times in seconds since `first_ns` and distances in
// mm, both float64 (GIL held).
struct SampleColumns {
    std::vector<std::int64_t> ns;
    std::vector<float> mm;
    void Append(std::span<const RecordedSample> samples);
    py::tuple Arrays(std::int64_t first_ns) const;
};
py::array_t<double> DistanceArray(const std::vector<float>& mm);

}  // namespace mk27x::python
