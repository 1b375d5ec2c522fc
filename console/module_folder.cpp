#include "module_folder.hpp"

#include "values.hpp"

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

namespace console {

namespace fs = std::filesystem;

bool python_identifier(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    return true;
}

std::vector<ModuleChange> ModuleFolder::scan(std::vector<std::string>& warnings) {
    std::vector<ModuleChange> changes;
    std::set<std::string> present;
    std::error_code ec;
    for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (p.extension() != ".py" || !it->is_regular_file(ec)) continue;
        std::string name = p.stem().string();
        auto mtime = fs::last_write_time(p, ec);
        if (ec) continue;
        auto size = fs::file_size(p, ec);
        if (ec) continue;
        present.insert(name);
        auto& entry = known_[name];
        if (entry.seen && entry.mtime == mtime && entry.size == size) continue;
        entry.seen = true;
        entry.mtime = mtime;
        entry.size = size;
        if (!python_identifier(name)) {
            warnings.push_back("skipping " + p.filename().string() + ": '" + name + "' is not a module name");
            continue;
        }
        std::ifstream in(p, std::ios::binary);
        if (!in.is_open()) {
            entry.seen = false;  // vanished or unreadable: try again at the next scan
            continue;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        std::string code = ss.str();
        if (!valid_utf8(code)) {
            warnings.push_back("skipping " + p.filename().string() + ": not UTF-8 text");
            continue;
        }
        if (entry.sent && code == entry.code) continue;
        entry.code = code;
        entry.sent = true;
        changes.push_back({ModuleChange::Update, name, std::move(code)});
    }
    if (ec) warnings.push_back("cannot list " + dir_.string() + ": " + ec.message());
    for (auto it = known_.begin(); it != known_.end();) {
        if (ec || present.count(it->first)) {
            ++it;
            continue;
        }
        if (it->second.sent) changes.push_back({ModuleChange::Delete, it->first, {}});
        it = known_.erase(it);
    }
    return changes;
}

const std::string* ModuleFolder::source(const std::string& name) const {
    auto it = known_.find(name);
    if (it == known_.end() || !it->second.sent) return nullptr;
    return &it->second.code;
}

std::vector<std::pair<std::string, fs::path>> ModuleFolder::modules() const {
    std::vector<std::pair<std::string, fs::path>> out;
    for (auto& [name, e] : known_)
        if (e.sent) out.emplace_back(name, dir_ / (name + ".py"));
    return out;
}

}  // namespace console
