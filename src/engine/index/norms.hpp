#pragma once
// The sums of squares an opened index keeps: one per row and, for large inner-product
// indexes, one per row and dimension block.
#include "engine/index/engine.hpp"

namespace zorvik {

// Fills row_sq_norms_table and row_norms_table (already sized to rows; dims > 0) and,
// when `blocks`, row_block_sq_norms (already sized to rows x num_blocks()), with the rows
// spread over the worker pool. Every sum starts at -0.0 and adds the widened square of
// each element in index order, exactly as sum_of_squares does for one row.
void fill_norm_tables(Engine& e, bool blocks);

}  // namespace zorvik
