// Access to NumPy's array API table.
#pragma once

namespace velk::py {

// Makes the array API table usable, importing NumPy the first time. Throws PythonError with the
// exception set if NumPy cannot be imported or its table does not fit the headers the module was
// built with; nothing is kept then, and the next call tries again.
void require_numpy_api();

}  // namespace velk::py
