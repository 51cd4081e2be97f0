#pragma once

namespace zorvik::lib {

// Sizes the process-wide worker pool from ZORVIK_THREADS and writes OPENBLAS_NUM_THREADS,
// OMP_NUM_THREADS and RAYON_NUM_THREADS. Runs once per process; later calls return at once.
void configure_worker_pool();

}  // namespace zorvik::lib
