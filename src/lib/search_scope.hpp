#pragma once
// What a query method's search runs under, and the one way each method runs its search.
#include <cstdint>
#include <optional>
#include <string>

#include "engine/index/engine.hpp"
#include "engine/scan/row_filter.hpp"
#include "engine/scope.hpp"
#include "lib/arguments.hpp"
#include "lib/errors.hpp"
#include "lib/result_budget.hpp"

namespace zorvik::lib {

// The search settings, read now (with the interpreter lock held; nothing below reads the
// environment), and the request's filter built for `engine`, or what is wrong with it.
class SearchScope {
public:
    SearchScope(const Engine& engine, const Request& q);
    SearchScope(const SearchScope&) = delete;
    SearchScope& operator=(const SearchScope&) = delete;

    const Scope& scope() const { return scope_; }
    Scope unfiltered() const { return Scope{scope_.settings}; }
    bool filter_failed() const { return problem_ != FilterArg::Problem::None; }
    // Raises the filter's problem; returns nullptr.
    PyObject* raise_filter_problem() const;

private:
    std::optional<RowFilter> filter_;
    Scope scope_;
    FilterArg::Problem problem_ = FilterArg::Problem::None;
    std::string problem_text_;
};

// search(k, scope) for the request `q`, refused up front when its answers do not `fit`.
// A bad filter is raised only once search(0) without it has accepted the rest of the
// call, so that the search's own errors come first.
template <class Search>
auto scoped_search(const Engine& engine, const Request& q, bool fits, Search search) {
    const SearchScope s(engine, q);
    if (s.filter_failed()) {
        auto checked = search(0, s.unfiltered());
        if (!checked) return checked;
        s.raise_filter_problem();
        throw PythonError{};
    }
    return search_if_it_fits(fits, q.k, [&](std::uint64_t k) { return search(k, s.scope()); });
}

}  // namespace zorvik::lib
