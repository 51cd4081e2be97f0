#pragma once
// Certified queries and the per-block analyses of PySearchEngine; all return dictionaries.
#include "lib/arguments.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

extern const Signature kQueryExactCertifiedSig;
extern const Signature kQueryBatchExactCertifiedSig;
extern const Signature kCompareSig;
extern const Signature kExplainSig;

PyObject* query_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_batch_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compare(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* explain(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace zorvik::lib
