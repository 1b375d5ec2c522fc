// The workbook's modules: the .py files of one folder, each sent to the kernel under its file
// name. A scan compares the folder with what was sent last and says what to send now.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace console {

struct ModuleChange {
    enum Kind { Update, Delete } kind;
    std::string name;
    std::string code;  // for Update
};

class ModuleFolder {
public:
    explicit ModuleFolder(std::filesystem::path dir) : dir_(std::move(dir)) {}

    // What changed since the last scan: new or edited files (Update), removed ones (Delete).
    // Files are read only when their size or modification time moved; a file whose text is
    // unchanged is not reported. Problems (a file that is not UTF-8, a name that is not a Python
    // identifier) go to `warnings`, once per file version.
    std::vector<ModuleChange> scan(std::vector<std::string>& warnings);

    // The source last sent for `name`, if the folder holds it.
    const std::string* source(const std::string& name) const;
    // Module names and their files, sorted by name.
    std::vector<std::pair<std::string, std::filesystem::path>> modules() const;
    const std::filesystem::path& dir() const { return dir_; }

private:
    struct Entry {
        std::filesystem::file_time_type mtime;
        std::uintmax_t size = 0;
        std::string code;
        bool seen = false;  // size and time recorded
        bool sent = false;  // `code` went to the kernel
    };
    std::filesystem::path dir_;
    std::map<std::string, Entry> known_;
};

// True when `name` is a Python identifier made of ASCII letters, digits and underscores.
bool python_identifier(const std::string& name);

}  // namespace console
