#pragma once
// The embedded interpreter: Debian's Python, presenting itself as /usr/bin/python3 so libraries
// that start Python subprocesses work as under stock python3.
#include <filesystem>

namespace gridlet::interpreter {

// Folder of the shipped Python package, relative to the binary (build tree or installed).
std::filesystem::path find_python_dir();

// Initialises Python and puts the package folder on sys.path. Returns with the GIL held.
void start(const std::filesystem::path& python_dir);

}  // namespace gridlet::interpreter
