// Sample vectors turned into NumPy arrays without copying, through the PySliceContainer owner type.
#pragma once

#include <cstdint>

#include "binding/py_ref.hpp"
#include "event_stream/sample_vector.hpp"

namespace velk::py {

// Imports NumPy's API and creates the owner type, on first use; may run Python code.
void prepare_sample_arrays();

// A new one-dimensional, writeable NumPy array over the samples (uint16 or float32). The array's base
// is a PySliceContainer that now owns the storage and frees it when the last array or view over it is
// gone. Imports NumPy on first use. Throws PythonError on failure; the samples are freed then.
PyRef sample_array(SampleVector<std::uint16_t>&& samples);
PyRef sample_array(SampleVector<float>&& samples);

// The same over storage already taken from a SampleVector<T> (or a column built on one): an array of
// storage.length values, for T one of uint16, float, int32, uint32, int64 and uint64. The storage is
// the array's from the call on: it is freed on failure too.
template <class T>
PyRef storage_array(SampleStorage storage);

}  // namespace velk::py
