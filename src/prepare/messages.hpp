#pragma once
// Message templates of index preparation and writing; "{}" placeholders fill in order.

namespace zorvik::prepare::msg {

// Validation, in the order the checks run
inline constexpr const char* kUnknownMetric = "Unknown similarity metric: {}";
inline constexpr const char* kInvalidDims = "Invalid dims: {} (must be 1-{})";
inline constexpr const char* kInvalidRows = "Invalid rows: {} (must be 1-{})";
inline constexpr const char* kShapeMismatch = "Data shape mismatch: expected {}\u00d7{}={}, got {}";
inline constexpr const char* kInvalidBaseName =
    "Invalid base_name: cannot be empty or contain special characters";
inline constexpr const char* kInvalidLevel = "Invalid level '{}'. Must be f8, f16, f32, or f64";
inline constexpr const char* kTooManyInvalid = "Too many invalid values: {}/{} ({}%)";
inline constexpr const char* kInsufficientMemory = "Insufficient memory: need {}GB, available {}GB";
inline constexpr const char* kEmptyStem = "Base name contains no valid characters";

// Writing and placement
inline constexpr const char* kNoHome = "Failed to get home directory";
inline constexpr const char* kNotADirectory = "Output path is not a directory: {}";
inline constexpr const char* kCreateDirFailed = "Failed to create directory {}: {}";
inline constexpr const char* kRemoveTempFailed = "Failed to remove temp file: {}";
inline constexpr const char* kCreateFileFailed = "Failed to create file {}: {}";
inline constexpr const char* kSetLengthFailed = "Failed to set file length: {}";
inline constexpr const char* kFlushFailed = "Failed to flush memory map: {}";
inline constexpr const char* kWriteFailedCause = "writing the index data failed: {}";
inline constexpr const char* kTempMetadataFailed = "Failed to get temp file metadata: {}";
inline constexpr const char* kMoveFailed = "Failed to move temp file to final location: {}";


// An index made from the rows of index files
inline constexpr const char* kOpenIndexFailed = "Failed to open index file {}: {}";
inline constexpr const char* kNotAnIndex = "Not an index file: {}";
inline constexpr const char* kIndexesDiffer = "Index file {} differs in dims or metric from the first";
inline constexpr const char* kRowOutOfRange = "Row {} is out of range for the {} rows of {}";

}  // namespace zorvik::prepare::msg
