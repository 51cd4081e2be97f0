#pragma once
// Batch methods of PySearchEngine: one query per row of a float32 matrix.
#include "lib/arguments.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

extern const Signature kQueryBatchSig;
extern const Signature kQueryBatchArraysSig;
extern const Signature kQueryBatchDetailedSig;

PyObject* query_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_batch_detailed(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace zorvik::lib
