#include "pictures.hpp"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace console {

namespace fs = std::filesystem;

std::optional<std::string> base64_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=') break;
        else if (c == '\n' || c == '\r' || c == ' ') continue;
        else return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(v);
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xff);
            out += static_cast<char>((bits >> 8) & 0xff);
            out += static_cast<char>(bits & 0xff);
            bits = 0;
            count = 0;
        }
    }
    if (count == 1) return std::nullopt;
    if (count == 2) out += static_cast<char>((bits >> 4) & 0xff);
    if (count == 3) {
        out += static_cast<char>((bits >> 10) & 0xff);
        out += static_cast<char>((bits >> 2) & 0xff);
    }
    return out;
}

std::optional<std::pair<unsigned, unsigned>> png_size(std::string_view b) {
    static constexpr std::string_view signature("\x89PNG\r\n\x1a\n", 8);
    if (b.size() < 24 || b.substr(0, 8) != signature || b.substr(12, 4) != "IHDR") return std::nullopt;
    auto be32 = [&](std::size_t at) {
        return (unsigned(static_cast<unsigned char>(b[at])) << 24) |
               (unsigned(static_cast<unsigned char>(b[at + 1])) << 16) |
               (unsigned(static_cast<unsigned char>(b[at + 2])) << 8) | unsigned(static_cast<unsigned char>(b[at + 3]));
    };
    return std::make_pair(be32(16), be32(20));
}

std::string size_text(unsigned width, unsigned height) {
    return std::to_string(width) + "\u00d7" + std::to_string(height);
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) throw std::runtime_error("cannot write " + path.string());
}

fs::path ImageFolder::next(std::string_view extension) {
    if (dir_.empty()) {
        if (!chosen_.empty()) {
            fs::create_directories(chosen_);
            dir_ = fs::absolute(chosen_).lexically_normal();
        } else {
            std::string pattern = (fs::temp_directory_path() / "gridlet-console-XXXXXX").string();
            if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder for the images");
            dir_ = pattern;
        }
    }
    return dir_ / ("figure-" + std::to_string(++count_) + std::string(extension));
}

std::string render_display(const json::object& message, ImageFolder& folder) {
    std::string out;
    const json::object* data = nullptr;
    if (auto* d = message.if_contains("data"); d && d->is_object()) data = &d->get_object();
    if (!data) return out;
    if (auto* t = data->if_contains("text/plain"); t && t->is_string() && !t->get_string().empty()) {
        out += t->get_string();
        if (out.back() != '\n') out += '\n';
    }
    // Every image of one message shares its number: figure-3.png and figure-3.svg are one figure.
    fs::path base;
    auto path_for = [&](std::string_view ext) {
        if (base.empty()) base = folder.next("");
        return fs::path(base.string() + std::string(ext));
    };
    static const std::pair<const char*, const char*> kinds[] = {
        {"image/png", ".png"}, {"image/jpeg", ".jpg"}, {"image/gif", ".gif"}, {"image/svg+xml", ".svg"}};
    for (auto [mime, ext] : kinds) {
        auto* v = data->if_contains(mime);
        if (!v || !v->is_string()) continue;
        std::string_view text = v->get_string();
        std::optional<std::string> bytes = std::string_view(mime) == "image/svg+xml"
                                               ? std::optional<std::string>(std::string(text))
                                               : base64_decode(text);
        if (!bytes) {
            out += std::string("[") + mime + ": not base64]\n";
            continue;
        }
        try {
            fs::path path = path_for(ext);
            write_file(path, *bytes);
            std::string size;
            if (auto wh = png_size(*bytes)) size = " " + size_text(wh->first, wh->second);
            out += std::string("[") + mime + size + " \u2192 " + path.string() + "]\n";
        } catch (const std::exception& e) {
            out += std::string("[") + mime + ": " + e.what() + "]\n";
        }
    }
    return out;
}

}  // namespace console
