// The module's plain result types: named tuples made once at import.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "recording/recording_sink.h"
#include "session/sensor_search.h"

namespace mk27x::python {

namespace py = pybind11;

// Creates Identity, Parameter, Found, Difference and Samples in `m`.
void InitTypes(py::module_& m);

py::object IdentityTuple(const SensorIdentity& id);
py::object ParameterTuple(int index, std::uint16_t value, const std::string& text);
py::object FoundTuple(const FoundSensor& found);
py::object DifferenceTuple(int index, std::uint16_t file, std::uint16_t sensor);

// The first sample of a recording: its monotonic time, which the times of the
// arrays count from, and its wall-clock time.
struct FirstSample {
    std::int64_t monotonic_ns = 0;
    std::int64_t wall_ns = 0;
};

// Samples as NumPy arrays (GIL held): a Samples(t, mm) of times in seconds
// since the first sample and distances in mm, both float64, with t0 the first
// sample's UNIX time in seconds (None when there is none).
struct SampleColumns {
    std::vector<std::int64_t> ns;
    std::vector<float> mm;
    std::optional<FirstSample> first;
    void Append(std::span<const RecordedSample> samples);
    py::object Arrays(const std::optional<FirstSample>& origin) const;
    py::object Arrays() const { return Arrays(first); }
};

// Raises mk27x.NoAnswer with `text`, carrying the samples recorded before the
// loss as its t, mm and t0 (GIL held).
[[noreturn]] void RaiseNoAnswer(const std::string& text, const py::object& samples);
py::array_t<double> DistanceArray(const std::vector<float>& mm);

}  // namespace mk27x::python
