// SPAFile: a spectral data file opened by name. It reads the file header and
// section directory once and holds no file open; every read opens the file,
// reads one record and closes it again.
#pragma once
#include "host/pyref.hpp"

namespace karvo::host {

// Creates the SPAFile class (its class attribute and six operations).
PyObject* create_spafile_class();

}  // namespace karvo::host
