#pragma once
// Single-query methods of PySearchEngine.
#include "lib/arguments.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

extern const Signature kQueryExactSig;
extern const Signature kQueryExactArraysSig;
extern const Signature kQueryExactDetailedSig;
extern const Signature kSketchCandidatesSig;

PyObject* query_exact(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs);
// Private diagnostic: {"candidates", "method"} of the sketch strategy for one query.
PyObject* sketch_candidates(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace zorvik::lib
