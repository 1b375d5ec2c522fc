// The in-memory workbook the console serves to user code: named sheets of cells, loaded from
// CSV files, read and written with A1 addresses.
//
// Addresses: "Sheet1!A1", "Sheet1!A1:B3", "'Q1 Sales'!$B$2:$C$9", "Sheet1!A:C" (whole columns,
// as far as the sheet is used), "Sheet1!2:4" (whole rows), "Sheet1" or "Sheet1!" (the used
// range). Without a sheet name the first sheet is meant.
#pragma once

#include <boost/json.hpp>

#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace console {

namespace json = boost::json;

// A bad address or a write that does not fit; the text goes back to user code.
struct WorkbookError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Area {
    std::string sheet;
    std::size_t row0 = 0, col0 = 0;  // 0-based, inclusive
    std::size_t row1 = 0, col1 = 0;
    bool single() const { return row0 == row1 && col0 == col1; }
    std::size_t rows() const { return row1 - row0 + 1; }
    std::size_t cols() const { return col1 - col0 + 1; }
};

// A picture placed in a sheet by add_picture: its top left corner sits on `cell` of `sheet`.
struct Picture {
    std::string name;
    std::string sheet;
    std::string cell;       // "D2"
    std::string png;        // the image's bytes
    unsigned pixels_w = 0;  // the image's own size
    unsigned pixels_h = 0;
    double shown_w = 0;  // the size it is shown at (the image's own unless asked otherwise)
    double shown_h = 0;
};

// "A" -> 0, "AB" -> 27; column letters of a 0-based index.
std::string column_name(std::size_t col);

// Parses one CSV text into rows of fields (quotes, doubled quotes and line breaks in quotes).
// `quoted` tells, per field, whether it was written in quotes.
std::vector<std::vector<std::string>> parse_csv(const std::string& text,
                                                std::vector<std::vector<bool>>* quoted = nullptr);

// A CSV field as a cell value: empty -> null, TRUE/FALSE -> bool, integers and decimals ->
// numbers, anything else (and anything quoted) -> text.
json::value cell_from_field(const std::string& field, bool quoted);

class Workbook {
public:
    // Adds a sheet from a CSV file named SHEET.csv. Throws WorkbookError on a read failure.
    void load_csv(const std::filesystem::path& file);
    void add_sheet(const std::string& name);

    std::vector<std::string> sheet_names() const;
    // A scalar for one cell, otherwise a list of rows.
    json::value get(const std::string& address) const;
    // A scalar fills the range; a list of rows (or one flat row) is written from the range's top
    // left cell and must match its size unless the address names a single cell.
    void set(const std::string& address, const json::value& values);
    // The cells of `address` as an aligned table with column letters and row numbers.
    std::string render(const std::string& address) const;

    // Resolves an address against the current sheets.
    Area resolve(const std::string& address) const;

    // Places a PNG at the top left cell of `address`. An empty name becomes "Picture N"; a picture
    // of the same name is replaced. `width`/`height` are numbers or null (null: keep the aspect
    // ratio of the other, or the image's own size). Returns the name.
    std::string add_picture(const std::string& address, std::string name, std::string png, const json::value& width,
                            const json::value& height);
    std::vector<Picture> pictures() const;
    std::optional<Picture> picture(const std::string& name) const;

private:
    struct Sheet {
        std::string name;
        std::vector<std::vector<json::value>> rows;
        std::size_t width() const;
    };
    const Sheet& sheet_named(const std::string& name) const;
    Sheet& sheet_named(const std::string& name);
    Area resolve_locked(const std::string& address) const;

    mutable std::mutex mutex_;
    std::vector<Sheet> sheets_;
    std::vector<Picture> pictures_;
};

}  // namespace console
