#include "lib/search_scope.hpp"

#include "base/text.hpp"
#include "engine/messages.hpp"

namespace zorvik::lib {

SearchScope::SearchScope(const Engine& engine, const Request& q) : scope_{settings::search_settings()} {
    const FilterArg& f = q.filter;
    problem_ = f.problem;
    problem_text_ = f.problem_text;
    if (filter_failed() || f.kind == FilterArg::Kind::Every) return;
    if (f.negative) {
        problem_ = FilterArg::Problem::Value;
        problem_text_ = text::fill(zorvik::msg::kFilterRowOutOfRange, {std::to_string(*f.negative), text::dec(engine.rows)});
        return;
    }
    auto built = f.kind == FilterArg::Kind::Mask ? RowFilter::from_mask(f.mask, engine.rows)
                                                 : RowFilter::from_rows(f.rows, engine.rows);
    if (!built) {
        problem_ = FilterArg::Problem::Value;
        problem_text_ = built.error();
        return;
    }
    filter_.emplace(std::move(built.value()));
    scope_.filter = &*filter_;
}

PyObject* SearchScope::raise_filter_problem() const {
    PyErr_SetString(problem_ == FilterArg::Problem::Type ? PyExc_TypeError : PyExc_ValueError, problem_text_.c_str());
    return nullptr;
}

}  // namespace zorvik::lib
