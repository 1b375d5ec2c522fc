#include "wire.hpp"

#include "common/json_string.hpp"

#include <boost/json.hpp>

#include <charconv>
#include <cstring>

namespace bench {

namespace json = boost::json;

std::string_view message_type(std::string_view msg, std::string& scratch) {
    constexpr std::string_view prefix = R"({"type":")";
    if (msg.substr(0, prefix.size()) == prefix) {
        auto end = msg.find('"', prefix.size());
        if (end != std::string_view::npos) {
            auto value = msg.substr(prefix.size(), end - prefix.size());
            // A backslash would mean an escaped type name; let the full parse decide.
            if (value.find('\\') == std::string_view::npos) return value;
        }
    }
    boost::system::error_code ec;
    json::value v = json::parse(json::string_view(msg.data(), msg.size()), ec);
    if (ec || !v.is_object()) return {};
    auto* t = v.as_object().if_contains("type");
    if (!t || !t->is_string()) return {};
    scratch.assign(t->as_string().data(), t->as_string().size());
    return scratch;
}

void append_json_string(std::string& out, std::string_view text) { tools::append_json_string(out, text); }

std::string json_string(std::string_view text) { return tools::json_string(text); }

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool read_hex4(std::string_view text, std::size_t pos, unsigned& value) {
    if (pos + 4 > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        int h = hex_value(text[pos + i]);
        if (h < 0) return false;
        value = value * 16 + static_cast<unsigned>(h);
    }
    return true;
}

void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

bool decode_json_string(std::string_view text, std::size_t& pos, std::string& out) {
    const char* base = text.data();
    const std::size_t n = text.size();
    std::size_t i = pos;
    std::size_t quote = std::string_view::npos;  // next '"' at or after i, found with memchr
    while (true) {
        // Copy the run of plain characters up to the next backslash or quote in one go. The quote
        // position is kept until the scan passes it, so long strings with many escapes stay linear.
        if (quote == std::string_view::npos || quote < i) {
            auto* q = static_cast<const char*>(std::memchr(base + i, '"', n - i));
            if (!q) return false;
            quote = static_cast<std::size_t>(q - base);
        }
        auto* b = static_cast<const char*>(std::memchr(base + i, '\\', quote - i));
        std::size_t stop = b ? static_cast<std::size_t>(b - base) : quote;
        out.append(base + i, stop - i);
        i = stop;
        if (!b) {
            pos = i + 1;
            return true;
        }
        if (i + 1 >= text.size()) return false;
        char e = text[i + 1];
        i += 2;
        switch (e) {
            case '"':
                out.push_back('"');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case '/':
                out.push_back('/');
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'u': {
                unsigned cp;
                if (!read_hex4(text, i, cp)) return false;
                i += 4;
                if (cp >= 0xD800 && cp < 0xDC00 && i + 6 <= text.size() && text[i] == '\\' && text[i + 1] == 'u') {
                    unsigned low;
                    if (read_hex4(text, i + 2, low) && low >= 0xDC00 && low < 0xE000) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        i += 6;
                    }
                }
                append_utf8(out, cp);
                break;
            }
            default:
                return false;
        }
    }
}

namespace {

// Position just after `"key":` (and any spaces), or npos.
std::size_t value_pos(std::string_view msg, std::string_view key) {
    std::string pattern;
    pattern.reserve(key.size() + 3);
    pattern.push_back('"');
    pattern.append(key);
    pattern += "\":";
    auto at = msg.find(pattern);
    if (at == std::string_view::npos) return at;
    at += pattern.size();
    while (at < msg.size() && msg[at] == ' ') ++at;
    return at;
}

}  // namespace

std::optional<std::int64_t> int_field(std::string_view msg, std::string_view key) {
    auto at = value_pos(msg, key);
    if (at == std::string_view::npos) return std::nullopt;
    std::int64_t v = 0;
    auto [p, ec] = std::from_chars(msg.data() + at, msg.data() + msg.size(), v);
    if (ec != std::errc()) return std::nullopt;
    if (p < msg.data() + msg.size() && (*p == '.' || *p == 'e' || *p == 'E')) return std::nullopt;
    return v;
}

std::optional<std::string> string_field(std::string_view msg, std::string_view key) {
    auto at = value_pos(msg, key);
    if (at == std::string_view::npos || at >= msg.size() || msg[at] != '"') return std::nullopt;
    ++at;
    std::string out;
    if (!decode_json_string(msg, at, out)) return std::nullopt;
    return out;
}

std::optional<std::size_t> scan_chunk_header(std::string_view msg, ChunkPiece& piece) {
    auto id = string_field(msg, "chunk_id");
    auto index = int_field(msg, "chunk_index");
    auto total = int_field(msg, "total_chunks");
    auto at = value_pos(msg, "data");
    if (!id || !index || !total || at == std::string_view::npos || at >= msg.size() || msg[at] != '"')
        return std::nullopt;
    piece.chunk_id = std::move(*id);
    piece.chunk_index = *index;
    piece.total_chunks = *total;
    return at + 1;
}

bool parse_chunk(std::string_view msg, ChunkPiece& piece) {
    piece.data.clear();
    if (auto at = scan_chunk_header(msg, piece)) {
        std::size_t pos = *at;
        if (decode_json_string(msg, pos, piece.data)) return true;
        piece.data.clear();
    }
    // Fallback: a full parse copes with any key order and spacing.
    boost::system::error_code ec;
    json::value v = json::parse(json::string_view(msg.data(), msg.size()), ec);
    if (ec || !v.is_object()) return false;
    const auto& o = v.as_object();
    auto* cid = o.if_contains("chunk_id");
    auto* cidx = o.if_contains("chunk_index");
    auto* ctot = o.if_contains("total_chunks");
    auto* cdata = o.if_contains("data");
    if (!cid || !cid->is_string() || !cidx || !cidx->is_int64() || !ctot || !ctot->is_int64()) return false;
    piece.chunk_id.assign(cid->as_string().data(), cid->as_string().size());
    piece.chunk_index = cidx->as_int64();
    piece.total_chunks = ctot->as_int64();
    piece.data.clear();
    if (cdata && cdata->is_string()) piece.data.assign(cdata->as_string().data(), cdata->as_string().size());
    return true;
}

std::string excerpt(std::string_view msg, std::size_t max_len) {
    if (msg.size() <= max_len) return std::string(msg);
    std::string out(msg.substr(0, max_len));
    out += "... (" + std::to_string(msg.size()) + " bytes)";
    return out;
}

// One custom_function_call request frame.
std::string call_request(std::string_view workbook, std::string_view function, std::string_view args_json,
                         std::string_view id, std::string_view module) {
    std::string s = R"({"type":"custom_function_call","request_id":)";
    append_json_string(s, id);
    s += R"(,"module_name":)";
    append_json_string(s, module);
    s += R"(,"function_name":)";
    append_json_string(s, function);
    s += R"(,"args":)";
    s += args_json;
    s += R"(,"workbook_id":)";
    append_json_string(s, workbook);
    s += R"(,"source":"addin"})";
    return s;
}

std::string stream_request(std::string_view workbook, std::string_view id, std::string_view module, std::int64_t n,
                           std::string_view source) {
    std::string req = R"({"type":"execute_streaming_function","request_id":)";
    append_json_string(req, id);
    req += R"(,"module_name":)";
    append_json_string(req, module);
    req += R"(,"function_name":"gen","args":[)" + std::to_string(n) + R"(],"workbook_id":)";
    append_json_string(req, workbook);
    if (!source.empty()) {
        req += R"(,"source":)";
        append_json_string(req, source);
    }
    req += "}";
    return req;
}

}  // namespace bench
