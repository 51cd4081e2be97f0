#pragma once
// A built sketch kept in a directory (ZORVIK_SKETCH_DIR) for later openings of the same
// index. The file is named by the index's hash and holds it, with the shape, the code
// range and a checksum over every byte, so a file of another index, of another format,
// cut short or with any byte changed is never used: the sketch is built again and the
// file replaced. Both directions are best effort and silent: a directory that cannot be
// read or written only means building.
#include "engine/sketch/row_sketch.hpp"

namespace zorvik::sketch_file {

// Fills `sketch` (sized for e) from the saved sketch of e's index; false when there is
// none that is whole and of this index (`sketch` may then hold part of a file).
bool load(const Engine& e, RowSketch& sketch);

// Writes `sketch` under a temporary name in e's sketch directory, then renames it over
// the final one, so that a reader finds the old file, the new one or none. Nothing is
// flushed: a file the system lost part of in a crash fails its checksum.
void save(const Engine& e, RowSketch& sketch);

}  // namespace zorvik::sketch_file
