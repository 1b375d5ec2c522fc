// Pictures the kernel sends: the images of display_data written to files, and what the console
// needs to read them (base64, PNG header).
#pragma once

#include <boost/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace console {

namespace json = boost::json;

// Decodes standard base64 (padding optional, whitespace ignored); nothing on a bad character.
std::optional<std::string> base64_decode(std::string_view text);

// Width and height from a PNG's IHDR chunk; nothing when `bytes` is not a PNG.
std::optional<std::pair<unsigned, unsigned>> png_size(std::string_view bytes);

// "640×480".
std::string size_text(unsigned width, unsigned height);

// The folder where the images of one session go: the one given (--images DIR) or a new one under
// the temporary folder, made on first use and kept after the console exits. Files are numbered
// figure-1, figure-2, ... in the order the images arrive. Used on the io thread only.
class ImageFolder {
public:
    explicit ImageFolder(std::string chosen) : chosen_(std::move(chosen)) {}
    // The path of the next figure with this extension (".png"); the folder exists afterwards.
    std::filesystem::path next(std::string_view extension);

private:
    std::string chosen_;
    std::filesystem::path dir_;
    unsigned count_ = 0;
};

// How a display_data message shows: its text/plain, then one line per image written to `folder`,
// e.g. "[image/png 640×480 → /tmp/gridlet-console-x/figure-3.png]".
std::string render_display(const json::object& message, ImageFolder& folder);

// Writes `bytes` to `path`; throws std::runtime_error naming the path on failure.
void write_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace console
