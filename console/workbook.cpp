#include "workbook.hpp"

#include "pictures.hpp"

#include "values.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>

namespace console {

namespace {

constexpr std::size_t kMaxRows = 1048576;
constexpr std::size_t kMaxCols = 16384;
constexpr std::size_t kMaxCellsPerRequest = 1000000;

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(std::string_view s) {
    auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return "";
    auto e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

struct CellRef {
    bool has_col = false, has_row = false;
    std::size_t col = 0, row = 0;
};

// One side of a reference: "A1", "$A$1", "A" (column only) or "1" (row only).
bool parse_ref(std::string_view s, CellRef& ref) {
    std::size_t i = 0;
    if (i < s.size() && s[i] == '$') ++i;
    std::size_t letters = 0, col = 0;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) {
        col = col * 26 + static_cast<std::size_t>(std::toupper(static_cast<unsigned char>(s[i])) - 'A' + 1);
        ++i;
        if (++letters > 3) return false;
    }
    if (letters > 0) {
        if (col > kMaxCols) return false;
        ref.has_col = true;
        ref.col = col - 1;
    }
    if (i < s.size() && s[i] == '$') {
        if (letters == 0) return false;
        ++i;
    }
    std::size_t digits = 0, row = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        row = row * 10 + static_cast<std::size_t>(s[i] - '0');
        ++i;
        if (++digits > 7) return false;
    }
    if (digits > 0) {
        if (row == 0 || row > kMaxRows) return false;
        ref.has_row = true;
        ref.row = row - 1;
    }
    return i == s.size() && (letters > 0 || digits > 0);
}

}  // namespace

std::string column_name(std::size_t col) {
    std::string s;
    ++col;
    while (col > 0) {
        std::size_t r = (col - 1) % 26;
        s.insert(s.begin(), static_cast<char>('A' + r));
        col = (col - 1) / 26;
    }
    return s;
}

std::vector<std::vector<std::string>> parse_csv(const std::string& text, std::vector<std::vector<bool>>* quoted) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::vector<bool> row_quoted;
    std::string field;
    bool in_quotes = false, was_quoted = false, any = false;
    std::size_t i = 0;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) i = 3;  // byte order mark
    auto end_field = [&] {
        row.push_back(std::move(field));
        row_quoted.push_back(was_quoted);
        field.clear();
        was_quoted = false;
    };
    auto end_row = [&] {
        end_field();
        rows.push_back(std::move(row));
        if (quoted) quoted->push_back(std::move(row_quoted));
        row.clear();
        row_quoted.clear();
        any = false;
    };
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (in_quotes) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    in_quotes = false;
                }
            } else {
                field += c;
            }
            continue;
        }
        if (c == '"' && field.empty() && !was_quoted) {
            in_quotes = was_quoted = any = true;
        } else if (c == ',') {
            end_field();
            any = true;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            end_row();
        } else {
            field += c;
            any = true;
        }
    }
    if (any || !field.empty() || !row.empty()) end_row();
    return rows;
}

json::value cell_from_field(const std::string& field, bool quoted) {
    if (quoted) return json::value(field);
    std::string t = trim(field);
    if (t.empty()) return nullptr;
    std::string l = lower(t);
    if (l == "true") return true;
    if (l == "false") return false;
    const char* b = t.data();
    const char* e = t.data() + t.size();
    const char* digits = (*b == '+' || *b == '-') ? b + 1 : b;
    if (digits != e && std::all_of(digits, e, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        std::int64_t n = 0;
        auto r = std::from_chars(*b == '+' ? b + 1 : b, e, n);
        if (r.ec == std::errc() && r.ptr == e) return n;
    }
    // A decimal: digits with an optional fraction and exponent; no "inf", "nan" or hex.
    bool numeric = std::all_of(digits, e, [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
    });
    if (numeric && digits != e && (std::isdigit(static_cast<unsigned char>(*digits)) || *digits == '.')) {
        double d = 0;
        auto r = std::from_chars(*b == '+' ? b + 1 : b, e, d);
        if (r.ec == std::errc() && r.ptr == e) return d;
    }
    return json::value(field);
}

std::size_t Workbook::Sheet::width() const {
    std::size_t w = 0;
    for (auto& r : rows) w = std::max(w, r.size());
    return w;
}

void Workbook::load_csv(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw WorkbookError("cannot read " + file.string());
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    if (!valid_utf8(text)) throw WorkbookError(file.string() + " is not UTF-8 text");
    std::vector<std::vector<bool>> quoted;
    auto fields = parse_csv(text, &quoted);
    Sheet sheet;
    sheet.name = file.stem().string();
    for (std::size_t r = 0; r < fields.size(); ++r) {
        std::vector<json::value> row;
        for (std::size_t c = 0; c < fields[r].size(); ++c) row.push_back(cell_from_field(fields[r][c], quoted[r][c]));
        while (!row.empty() && row.back().is_null()) row.pop_back();
        sheet.rows.push_back(std::move(row));
    }
    while (!sheet.rows.empty() && sheet.rows.back().empty()) sheet.rows.pop_back();
    std::lock_guard lock(mutex_);
    for (auto& s : sheets_)
        if (lower(s.name) == lower(sheet.name)) throw WorkbookError("two sheets named " + sheet.name);
    sheets_.push_back(std::move(sheet));
}

void Workbook::add_sheet(const std::string& name) {
    std::lock_guard lock(mutex_);
    sheets_.push_back(Sheet{name, {}});
}

std::vector<std::string> Workbook::sheet_names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (auto& s : sheets_) names.push_back(s.name);
    return names;
}

const Workbook::Sheet& Workbook::sheet_named(const std::string& name) const {
    for (auto& s : sheets_)
        if (lower(s.name) == lower(name)) return s;
    throw WorkbookError("no sheet named '" + name + "'");
}

Workbook::Sheet& Workbook::sheet_named(const std::string& name) {
    return const_cast<Sheet&>(static_cast<const Workbook*>(this)->sheet_named(name));
}

Area Workbook::resolve(const std::string& address) const {
    std::lock_guard lock(mutex_);
    return resolve_locked(address);
}

Area Workbook::resolve_locked(const std::string& raw) const {
    std::string address = trim(raw);
    if (address.empty()) throw WorkbookError("empty range address");
    if (sheets_.empty()) throw WorkbookError("the workbook has no sheets");
    std::string sheet, ref;
    bool sheet_given = false;
    if (address[0] == '\'') {
        std::size_t i = 1;
        for (; i < address.size(); ++i) {
            if (address[i] == '\'') {
                if (i + 1 < address.size() && address[i + 1] == '\'') {
                    sheet += '\'';
                    ++i;
                } else {
                    break;
                }
            } else {
                sheet += address[i];
            }
        }
        if (i >= address.size() || (i + 1 < address.size() && address[i + 1] != '!'))
            throw WorkbookError("bad range address '" + raw + "'");
        ref = i + 2 <= address.size() ? address.substr(std::min(i + 2, address.size())) : "";
        sheet_given = true;
    } else if (auto bang = address.find('!'); bang != std::string::npos) {
        sheet = address.substr(0, bang);
        ref = address.substr(bang + 1);
        sheet_given = true;
    } else {
        ref = address;
    }

    CellRef a, b;
    bool is_ref = false;
    if (!ref.empty()) {
        auto colon = ref.find(':');
        if (colon == std::string::npos) {
            is_ref = parse_ref(ref, a) && a.has_col && a.has_row;
            b = a;
        } else {
            is_ref = parse_ref(ref.substr(0, colon), a) && parse_ref(ref.substr(colon + 1), b) &&
                     a.has_col == b.has_col && a.has_row == b.has_row;
        }
    }
    if (!sheet_given) {
        if (is_ref) {
            sheet = sheets_.front().name;
        } else {
            // A bare sheet name means that sheet's used range.
            sheet = ref;
            ref.clear();
        }
    }
    if (!ref.empty() && !is_ref) throw WorkbookError("bad range address '" + raw + "'");
    const Sheet& s = sheet_named(sheet);
    std::size_t used_rows = std::max<std::size_t>(s.rows.size(), 1);
    std::size_t used_cols = std::max<std::size_t>(s.width(), 1);

    Area area;
    area.sheet = s.name;
    if (ref.empty()) {
        area.row1 = used_rows - 1;
        area.col1 = used_cols - 1;
        return area;
    }
    if (a.has_col) {
        area.col0 = std::min(a.col, b.col);
        area.col1 = std::max(a.col, b.col);
    } else {
        area.col1 = used_cols - 1;
    }
    if (a.has_row) {
        area.row0 = std::min(a.row, b.row);
        area.row1 = std::max(a.row, b.row);
    } else {
        area.row1 = used_rows - 1;
    }
    return area;
}

json::value Workbook::get(const std::string& address) const {
    std::lock_guard lock(mutex_);
    Area area = resolve_locked(address);
    if (area.rows() * area.cols() > kMaxCellsPerRequest)
        throw WorkbookError("range '" + address + "' has more than 1000000 cells");
    const Sheet& s = sheet_named(area.sheet);
    auto cell = [&](std::size_t r, std::size_t c) -> json::value {
        if (r < s.rows.size() && c < s.rows[r].size()) return s.rows[r][c];
        return nullptr;
    };
    if (area.single()) return cell(area.row0, area.col0);
    json::array rows;
    for (std::size_t r = area.row0; r <= area.row1; ++r) {
        json::array row;
        for (std::size_t c = area.col0; c <= area.col1; ++c) row.push_back(cell(r, c));
        rows.push_back(std::move(row));
    }
    return rows;
}

void Workbook::set(const std::string& address, const json::value& values) {
    std::lock_guard lock(mutex_);
    Area area = resolve_locked(address);
    Sheet& s = sheet_named(area.sheet);

    // The block to write, as rows of cell values.
    std::vector<std::vector<json::value>> block;
    if (!values.is_array()) {
        if (area.rows() * area.cols() > kMaxCellsPerRequest)
            throw WorkbookError("range '" + address + "' has more than 1000000 cells");
        block.assign(area.rows(), std::vector<json::value>(area.cols(), values));
    } else {
        const auto& arr = values.get_array();
        bool nested = !arr.empty() && std::all_of(arr.begin(), arr.end(), [](auto& v) { return v.is_array(); });
        bool flat = std::none_of(arr.begin(), arr.end(), [](auto& v) { return v.is_array(); });
        if (!nested && !flat) throw WorkbookError("values must be one row or a list of rows");
        if (flat) {
            block.emplace_back(arr.begin(), arr.end());
        } else {
            for (auto& r : arr) {
                for (auto& v : r.get_array())
                    if (v.is_array()) throw WorkbookError("a cell value cannot be a list");
                block.emplace_back(r.get_array().begin(), r.get_array().end());
            }
        }
        std::size_t width = 0;
        for (auto& r : block) width = std::max(width, r.size());
        if (!area.single() && (block.size() != area.rows() || std::any_of(block.begin(), block.end(), [&](auto& r) {
                                   return r.size() != area.cols();
                               }))) {
            throw WorkbookError("values are " + std::to_string(block.size()) + "x" + std::to_string(width) +
                                " but range '" + address + "' is " + std::to_string(area.rows()) + "x" +
                                std::to_string(area.cols()));
        }
        if (area.row0 + block.size() > kMaxRows || area.col0 + width > kMaxCols)
            throw WorkbookError("values do not fit on the sheet from '" + address + "'");
        if (block.size() * std::max<std::size_t>(width, 1) > kMaxCellsPerRequest)
            throw WorkbookError("more than 1000000 cells in one write");
    }
    for (std::size_t r = 0; r < block.size(); ++r) {
        std::size_t row = area.row0 + r;
        if (s.rows.size() <= row) s.rows.resize(row + 1);
        auto& cells = s.rows[row];
        for (std::size_t c = 0; c < block[r].size(); ++c) {
            std::size_t col = area.col0 + c;
            if (cells.size() <= col) cells.resize(col + 1);
            cells[col] = block[r][c];
        }
        while (!cells.empty() && cells.back().is_null()) cells.pop_back();
    }
    while (!s.rows.empty() && s.rows.back().empty()) s.rows.pop_back();
}

std::string Workbook::render(const std::string& address) const {
    json::value v = get(address);
    Area area = resolve(address);
    std::vector<std::vector<std::string>> cells;
    if (v.is_array()) {
        for (auto& r : v.get_array()) {
            std::vector<std::string> row;
            for (auto& c : r.get_array()) row.push_back(show_cell(c));
            cells.push_back(std::move(row));
        }
    } else {
        cells.push_back({show_cell(v)});
    }
    std::vector<std::size_t> widths(area.cols(), 0);
    for (std::size_t c = 0; c < area.cols(); ++c) {
        widths[c] = utf8_length(column_name(area.col0 + c));
        for (auto& r : cells) widths[c] = std::max(widths[c], utf8_length(r[c]));
    }
    std::size_t label = std::to_string(area.row1 + 1).size();
    auto pad = [](const std::string& s, std::size_t w) {
        return s + std::string(w - std::min(w, utf8_length(s)), ' ');
    };
    std::string out = area.sheet + "\n" + std::string(label, ' ');
    std::string head;
    for (std::size_t c = 0; c < area.cols(); ++c) head += "  " + pad(column_name(area.col0 + c), widths[c]);
    while (!head.empty() && head.back() == ' ') head.pop_back();
    out += head + '\n';
    for (std::size_t r = 0; r < cells.size(); ++r) {
        std::string num = std::to_string(area.row0 + r + 1);
        std::string line = std::string(label - num.size(), ' ') + num;
        for (std::size_t c = 0; c < area.cols(); ++c) line += "  " + pad(cells[r][c], widths[c]);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + '\n';
    }
    return out;
}

// ----------------------------------------------------------------------------------- pictures

std::string Workbook::add_picture(const std::string& address, std::string name, std::string png,
                                  const json::value& width, const json::value& height) {
    auto size = png_size(png);
    if (!size) throw WorkbookError("image_png is not a PNG image");
    auto number = [](const json::value& v, const char* what) -> double {
        if (v.is_null()) return 0;
        double d = v.is_double()   ? v.get_double()
                   : v.is_int64()  ? double(v.get_int64())
                   : v.is_uint64() ? double(v.get_uint64())
                                   : -1;
        if (!(d > 0)) throw WorkbookError(std::string(what) + " must be a positive number or null");
        return d;
    };
    Picture p;
    p.shown_w = number(width, "width");
    p.shown_h = number(height, "height");
    p.pixels_w = size->first;
    p.pixels_h = size->second;
    if (p.shown_w == 0 && p.shown_h == 0) {
        p.shown_w = p.pixels_w;
        p.shown_h = p.pixels_h;
    } else if (p.shown_h == 0) {
        p.shown_h = p.pixels_w ? p.shown_w * p.pixels_h / p.pixels_w : 0;
    } else if (p.shown_w == 0) {
        p.shown_w = p.pixels_h ? p.shown_h * p.pixels_w / p.pixels_h : 0;
    }
    std::lock_guard lock(mutex_);
    Area a = resolve_locked(address);
    p.sheet = a.sheet;
    p.cell = column_name(a.col0) + std::to_string(a.row0 + 1);
    p.png = std::move(png);
    if (name.empty()) {
        for (std::size_t n = pictures_.size() + 1;; ++n) {
            name = "Picture " + std::to_string(n);
            bool taken = false;
            for (auto& q : pictures_) taken = taken || q.name == name;
            if (!taken) break;
        }
    }
    p.name = name;
    for (auto& q : pictures_) {
        if (q.name == name) {
            q = std::move(p);
            return name;
        }
    }
    pictures_.push_back(std::move(p));
    return name;
}

std::vector<Picture> Workbook::pictures() const {
    std::lock_guard lock(mutex_);
    return pictures_;
}

std::optional<Picture> Workbook::picture(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (auto& p : pictures_)
        if (p.name == name) return p;
    return std::nullopt;
}

}  // namespace console
