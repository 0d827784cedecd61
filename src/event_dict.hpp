// Decoded events as Python dictionaries.
#pragma once

#include <Python.h>

#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk::py {

// Inserts the event's header values as ints, in the layout's key order, then its samples under
// "data" as a NumPy array that takes over the sample storage. Throws PythonError on failure; the
// samples are freed then.
void fill_event_dict(PyObject* dict, WD1Event&& event);
void fill_event_dict(PyObject* dict, WD2Event&& event);

}  // namespace velk::py
