#pragma once
// Python's raw allocator (the one behind every block pymalloc does not serve itself: long str and
// bytes, the item arrays of big lists) wrapped so that blocks of many megabytes are asked to be
// backed by huge pages. Filling such a block then takes a few page faults instead of one per
// 4 KB, which is most of the cost of building a large result on a virtual machine. Freed blocks
// that large are unmapped at once (see memory_release), so nothing is kept.
namespace gridlet::python_memory {

// Call once, before the interpreter starts.
void install_raw_allocator();

}  // namespace gridlet::python_memory
