#pragma once
// Every size, budget, threshold and prefetch distance the engine, the writer and the
// hashing are tuned by, each with its reason. The functions that turn them into sizes
// stay with their callers. Facts (overflow limits, unit roundoffs, record caps, the
// shapes of the kernels) stay with their code.
#include <cstddef>
#include <cstdint>

namespace zorvik::tuning {

// ---- Single-query strategy choice

// The chunked and the pruned scan pay off only from this many dimensions.
inline constexpr std::uint64_t kLargeDims = 64;
// Automatic choice: the chunked scan from this many rows; smaller indexes skip heap upkeep.
inline constexpr std::uint64_t kChunkedMinRows = 10000;
// "pruned" mode: below this many rows the full scan is faster than bounding rows.
inline constexpr std::uint64_t kPrunedMinRows = 1000000;

// ---- Row chunks (row_chunk_size): chunked, blocked-matrix and batch-blocked scans

// Dimension bands of the chunk and query-block formulas.
inline constexpr std::uint64_t kMediumDims = 384;
inline constexpr std::uint64_t kWideDims = 768;
// Floats per chunk by band: a chunk's rows stay in the caches while they are scored;
// euclidean chunks also carry the norm conversion, so they stay smaller.
inline constexpr std::uint64_t kChunkFloats = 8000000;
inline constexpr std::uint64_t kChunkFloatsMedium = 10000000;
inline constexpr std::uint64_t kChunkFloatsWide = 16000000;
inline constexpr std::uint64_t kChunkFloatsEuclidean = 3000000;
// About this many chunks per thread when rows are plentiful, for balance.
inline constexpr std::uint64_t kChunksPerThread = 4;
// Most rows per chunk by band: a task's heap and buffer stay small.
inline constexpr std::uint64_t kChunkRowsCap = 8000;
inline constexpr std::uint64_t kChunkRowsCapMedium = 16000;
inline constexpr std::uint64_t kChunkRowsCapWide = 32000;

// ---- Kernel scans

// Rows scored per kernel call before their hits are offered: the scores stay in registers
// and the first cache level.
inline constexpr std::size_t kScoreBatch = 64;
// Below this many floats (1 MB) a piece of a kernel scan is not worth a task: waking a
// worker for it costs about as much as scoring it (measured at 1,000 to 5,000 x 384).
inline constexpr std::uint64_t kMinPieceElements = std::uint64_t{1} << 18;
// Pieces of a kernel scan per thread: idle threads find work when others are slow.
inline constexpr std::uint64_t kPiecesPerThread = 4;
// How far ahead of the rows being scored the four-row kernel asks for cache lines.
inline constexpr std::uintptr_t kPrefetchBytes = 16384;
// Rows of one matrix-vector call: well inside the 32-bit BLAS range, and a power of two
// so that tiles of one query can start where the calls do.
inline constexpr std::size_t kBlasRowPiece = std::size_t{1} << 30;
// Allowed rows outside long runs are copied into blocks of at most this many floats (4 MB)
// for their products: a block stays in cache while every query of a tile is scored
// against it, and one product per short run would repeat the product's fixed work.
inline constexpr std::uint64_t kGatherFloats = std::uint64_t{1} << 20;
// The single-query matrix strategies score rows in aligned groups of this many (see
// row_blocks.hpp): a multiple of every row grouping of the BLAS matrix-vector kernels (up
// to 16 rows), so a row gets the same score whichever rows around it are allowed.
// kBlasRowPiece is a multiple of it.
inline constexpr std::uint64_t kProductRowGroup = 32;

// ---- Row filters

// A row list in no order is sorted when it holds fewer than 1 / kFilterSortShare of the
// index's rows; a longer one is marked in a mask of one flag per row, whose pass costs
// about what sorting that many numbers would.
inline constexpr std::uint64_t kFilterSortShare = 64;

// ---- Batch modes

// Automatic choice: the blocked scan from this many queries (it reads the rows once).
inline constexpr std::uint64_t kBlockedMinQueries = 4;
// Scores per group of the grouped matrix mode: bounds its buffers.
inline constexpr std::uint64_t kMatrixGroupScores = 50000000;
// Queries in flight in the per-query mode: per online processor, and at least.
inline constexpr std::uint64_t kPerQueryGroupPerProcessor = 4;
inline constexpr std::uint64_t kPerQueryMinGroup = 8;
// Query blocks of the matrix mode: blocks per thread, scores per block by metric and
// width (above kQueryBlockNarrowDims fewer queries fit the caches), and the most queries
// per block by band (below kMediumDims, below kWideDims, from kWideDims).
inline constexpr std::uint64_t kQueryBlocksPerThread = 2;
inline constexpr std::uint64_t kQueryBlockNarrowDims = 256;
inline constexpr std::uint64_t kQueryBlockScores = 8000000;
inline constexpr std::uint64_t kQueryBlockScoresWide = 5000000;
inline constexpr std::uint64_t kQueryBlockScoresEuclidean = 3000000;
inline constexpr std::uint64_t kQueryBlockCap = 256;
inline constexpr std::uint64_t kQueryBlockCapMedium = 128;
inline constexpr std::uint64_t kQueryBlockCapWide = 64;
// Scores held at once by the buffers of all running tasks (32 MB), and one task's floor.
inline constexpr std::uint64_t kScoreBudget = std::uint64_t{8} << 20;
inline constexpr std::uint64_t kMinTaskScores = std::uint64_t{1} << 20;
// Tiles never get smaller than this, in rows per piece and in scores (a few hundred
// thousand multiply-adds per score row keep the BLAS library on its blocked route).
inline constexpr std::uint64_t kMinPieceRows = 1024;
inline constexpr std::uint64_t kMinTileScores = std::uint64_t{1} << 18;
// The blocked scan wants this many tasks per thread, cutting more query tiles when the
// chunks are too few, but no tile under kMinTileQueries queries (a product too thin).
inline constexpr std::uint64_t kBlockedTasksPerThread = 8;
inline constexpr std::uint64_t kMinTileQueries = 4;

// ---- Certified scan and sketch

// The bound pass reads rows in energy order, which the hardware prefetchers do not
// follow: rows this far ahead are requested into the second-level cache, whole.
inline constexpr std::size_t kPrefetchAheadBytes = 49152;
// Rows quantised per pool task.
inline constexpr std::uint64_t kSketchBuildRows = 4096;
// Bytes of a saved sketch read, written and checksummed per pool task: large enough that
// a task's system call dominates its overhead, small enough to spread over the threads.
inline constexpr std::size_t kSketchFilePieceBytes = std::size_t{4} << 20;
// The sketch may take at most 1 / kSketchMemoryShare of the memory the process may use,
// and 1 / kSketchFreeMemoryShare of what it may still take (queries need the rest).
inline constexpr std::uint64_t kSketchMemoryShare = 4;
inline constexpr std::uint64_t kSketchFreeMemoryShare = 2;

// The sketch scan: rows per pool task (its running threshold is shared between tasks as
// they go); how often a task looks at the shared threshold and the candidate count.
inline constexpr std::uint64_t kSketchScanRows = 16384;
inline constexpr std::uint64_t kSketchCheckRows = 512;
// Rows whose code products and bounds are taken together (the bound loops run in lanes
// over them).
inline constexpr std::uint64_t kSketchBoundRows = 32;
// The code products read this many bytes of codes ahead into the first-level cache
// (16 to 64 KB measured alike at 384 dimensions; no request at all took twice as long).
inline constexpr std::size_t kSketchPrefetchBytes = 16384;
// Candidates the kernel rescores, at most 1 / kSketchCandidateShare of the rows searched
// (but kSketchMinCandidates on any index): past that the data is full of near ties, and
// the kernel scan of every row is cheaper than fetching the candidates one by one.
inline constexpr std::uint64_t kSketchCandidateShare = 16;
inline constexpr std::uint64_t kSketchMinCandidates = 4096;
// The sketch batch mode: rows whose codes stay in the second-level cache while a tile of
// queries passes over them, queries per tile, and tasks per thread (tiles by row pieces).
inline constexpr std::uint64_t kSketchBlockRows = 256;
inline constexpr std::uint64_t kSketchTileQueries = 64;
inline constexpr std::uint64_t kSketchTasksPerThread = 4;
// Candidates per pool task of the rescoring.
inline constexpr std::uint64_t kSketchRescoreRows = 1024;

// ---- Index loading

// Below this many floats the norm sums run before the digest, from the calling thread.
inline constexpr std::uint64_t kHelperMinElements = std::uint64_t{1} << 20;
// Floats per pool task of the norm sums (about 1 MB).
inline constexpr std::uint64_t kNormElementsPerTask = std::uint64_t{1} << 18;
// The per-block table is kept from this size on (smaller indexes never prune).
inline constexpr std::uint64_t kBlockTableMinRows = 10000;
inline constexpr std::uint64_t kBlockTableMinDims = 64;
// Dimension block widths (multiples of 4, as the norm sums need): from kWideBlocksMinRows
// rows the blocks are wider, which keeps the per-block table (rows x blocks doubles) of
// large indexes small.
inline constexpr std::uint64_t kWideBlocksMinRows = 250000;
inline constexpr std::uint64_t kBlockWidthNarrow = 16;
inline constexpr std::uint64_t kBlockWidthMedium = 32;
inline constexpr std::uint64_t kBlockWidthWide = 64;
// Below this width small indexes take narrow blocks; from kWideDims large ones take wide.
inline constexpr std::uint64_t kNarrowBlockDims = 256;

// ---- Index writing and hashing

// Rows written (and normalised on the pool) at once, for rows narrower than
// kWriteWideDims; wider rows take fewer per kWriteDimsStep dimensions, but at least
// kWriteMinChunkRows.
inline constexpr std::uint64_t kWriteChunkRows = 8192;
inline constexpr std::uint64_t kWriteWideDims = 1280;
inline constexpr std::uint64_t kWriteDimsStep = 1024;
inline constexpr std::uint64_t kWriteMinChunkRows = 1000;
// Floats one pool task normalises or gathers at least, so narrow rows are grouped into ranges.
inline constexpr std::size_t kWriteTaskFloats = 32768;
// Bytes of a file being written that are made durable at once, behind the writer: each
// flush also empties the disk's cache, so not too often; the final flush has about
// this much left. Files no larger are flushed only at the end.
inline constexpr std::uint64_t kFlushBehindBytes = std::uint64_t{128} << 20;
// From this many bytes the file digest runs on several threads.
inline constexpr std::size_t kThreadedHashBytes = std::size_t{1} << 24;
// A batch that handled this many bytes of queries and answers gives its freed memory back
// to the system (the walk over the allocator's arenas costs well under a millisecond).
inline constexpr std::uint64_t kReleaseFreedBytes = std::uint64_t{16} << 20;

}  // namespace zorvik::tuning
