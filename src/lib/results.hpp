#pragma once
// PyQueryItem and PyQueryResult: immutable answer objects that own their data.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/index/engine.hpp"
#include "engine/scan/search.hpp"
#include "lib/python.hpp"
#include "lib/state.hpp"

namespace zorvik::lib {

// The package version, given by the build from pyproject.toml.
inline constexpr const char* kEngineVersion = ZORVIK_VERSION;

// What a detailed answer says about the index, built once per call from the engine.
struct IndexFacts {
    std::string metric;
    bool normalized = false;
    std::uint64_t dims = 0;
    std::uint64_t rows = 0;
    std::string index_path;
};

IndexFacts index_facts(const Engine& engine);

struct ResultFields {
    std::vector<Hit> results;
    double query_time_ms = 0.0;
    std::string method_used;
    // Detailed results only; None in Python otherwise.
    std::optional<std::string> index_hash;
    std::optional<std::string> query_hash;
    std::optional<std::string> engine_version;
    std::optional<IndexFacts> facts;
};

// Creates PyQueryItem and PyQueryResult into `state`; PyQueryResult is returned (new
// reference) for the module to add.
PyObject* create_result_types(PyObject* module, State& state);

// A plain result: hits, time and strategy only.
ResultFields plain_fields(QueryOutcome&& outcome);
// A detailed result: plain fields plus the index and query description.
ResultFields detailed_fields(QueryOutcome&& outcome, const std::string& index_hash, const IndexFacts& facts,
                             std::string query_hash);

PyObject* new_result(const State& state, ResultFields&& fields);

// str from UTF-8 bytes, invalid sequences replaced by U+FFFD.
PyObject* text_object(const std::string& s);

// Inserts `value` (a new reference, consumed; nullptr means failure) under `key`.
bool dict_put(PyObject* dict, const char* key, PyObject* value);

// A new dictionary filled by `fill(dict)` (which uses dict_put, so a failure part-way
// leaks nothing); nullptr when it fails.
template <class Fill>
PyObject* new_dict(Fill fill) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    if (!fill(dict)) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

// Adds "metric", "normalized", "dims", "rows" and "index_path" to `dict`, in that order.
bool add_index_facts(PyObject* dict, const IndexFacts& facts);

}  // namespace zorvik::lib
