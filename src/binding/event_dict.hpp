// Decoded events as Python dictionaries.
#pragma once

#include <Python.h>

#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk::py {

// Creates, on first use, the process-wide objects that event dictionaries are built from, NumPy's API
// among them. Called before anything of an event exists, because it may run Python code, and a thread
// ended there by interpreter shutdown unwinds without the interpreter lock: it must find no reference
// of its own to release on the way.
void prepare_event_dicts();
// Whether prepare_event_dicts has completed once in this process.
bool event_dicts_prepared() noexcept;

// Inserts the event's header values as ints, in the layout's key order, then its samples under
// "data" as a NumPy array that takes over the sample storage. Throws PythonError on failure; the
// samples are freed then.
void fill_event_dict(PyObject* dict, WD1Event&& event);
void fill_event_dict(PyObject* dict, WD2Event&& event);

}  // namespace velk::py
