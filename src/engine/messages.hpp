#pragma once
// Message templates of the storage and search layers; "{}" placeholders fill in order.

namespace zorvik::msg {

// Index loading
inline constexpr const char* kOpenFailed = "Failed to open file {}: {}";
inline constexpr const char* kMmapFailed = "Failed to mmap file: {}";
inline constexpr const char* kMapLengthOverflow = "memory map length overflows isize";
inline constexpr const char* kFileTooSmall = "File too small: expected {} bytes, got {}";
inline constexpr const char* kUnknownMetricId = "Unknown metric id: {}";

// Exact search
inline constexpr const char* kQueryDimensionMismatch = "Query dimension {} != index dimension {}";
// Stored doubly encoded (UTF-8 read as Latin-1, encoded again) on purpose: callers match the bytes.
inline constexpr const char* kQueryNotFinite = "Query vector contÃ©m valores nÃ£o finitos";

// Batch search. The Portuguese texts are stored doubly encoded on purpose: callers match the bytes.
inline constexpr const char* kBatchNotMultiple = "queries.len() nÃ£o Ã© mÃºltiplo de dims";
inline constexpr const char* kQueriesDimensionMismatch = "Query dimensions {} != index dimensions {}";
inline constexpr const char* kNoQueryColumns = "Query matrix has no columns";
inline constexpr const char* kBatchNotFinite = "Queries contÃªm valores nÃ£o finitos (NaN/Inf)";

// Row filters of every search
inline constexpr const char* kFilterMaskLength = "filter mask has {} entries but the index has {} rows";
inline constexpr const char* kFilterRowOutOfRange = "filter row {} is out of range for an index of {} rows";
inline constexpr const char* kFilterRowRepeated = "filter row {} is given more than once";

// Certified search and the per-block analyses
inline constexpr const char* kCertifiedQueryNotFinite = "Query vector contains non-finite values";
inline constexpr const char* kIndexOutOfBounds = "Index out of bounds";
inline constexpr const char* kBlockSizeZero = "block_size must be > 0";
inline constexpr const char* kTopBlocksZero = "top_blocks must be > 0";

}  // namespace zorvik::msg
