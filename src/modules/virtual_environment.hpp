#pragma once
// Per-workbook paths: sys.path is always edited in place; modules imported from stale folders are
// unloaded whole-package, deepest first, so the next import finds them afresh.
#include <string>
#include <vector>

#include "kernel/gil.hpp"

namespace gridlet {

class VirtualEnvironment {
public:
    VirtualEnvironment(const GilHeld&, std::string workbook_id);

    void add_path(const GilHeld&, const std::string& path);
    void remove_path(const GilHeld&, const std::string& path);
    void reset_path(const GilHeld&);
    std::vector<std::string> get_paths() const { return custom_paths_; }
    void set_custom_paths(std::vector<std::string> paths) { custom_paths_ = std::move(paths); }

    // Removes from sys.modules every top-level package that has a module whose __file__ starts
    // with one of `stale` (string prefix). Returns the unload list, deepest names first.
    static std::vector<std::string> unload_modules_from(const GilHeld&, const std::vector<std::string>& stale);

    // sys.path helpers (first occurrence semantics).
    static bool in_sys_path(const GilHeld&, const std::string& path);
    static bool remove_from_sys_path(const GilHeld&, const std::string& path);
    static void insert_sys_path(const GilHeld&, Py_ssize_t index, const std::string& path);
    static void append_sys_path(const GilHeld&, const std::string& path);
    static std::vector<std::string> sys_path(const GilHeld&);

private:
    std::string workbook_id_;
    std::vector<std::string> original_path_;
    std::vector<std::string> custom_paths_;
};

}  // namespace gridlet
