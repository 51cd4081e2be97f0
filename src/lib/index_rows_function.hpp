#pragma once
#include "lib/python.hpp"

namespace zorvik::lib {

// The module function _prepare_bin_from_index_rows (new reference): an index written
// from rows of existing index files, for the collection's merges.
PyObject* create_index_rows_function(PyObject* module);

}  // namespace zorvik::lib
