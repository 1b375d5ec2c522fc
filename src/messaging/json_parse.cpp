#include "messaging/json_parse.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include <string>

#include "messaging/json_dialect.hpp"

namespace gridlet::json_parse {
namespace {

using boost::json::string_view;
using boost::system::error_code;

struct ExactHandler {
    static constexpr std::size_t max_object_size = boost::json::object::max_size();
    static constexpr std::size_t max_array_size = boost::json::array::max_size();
    static constexpr std::size_t max_key_size = boost::json::string::max_size();
    static constexpr std::size_t max_string_size = boost::json::string::max_size();

    boost::json::value_stack st;
    std::string number;  // parts of a number split across buffers

    // basic_parser constructs its handler from the storage argument; spelled out because
    // parenthesised aggregate initialisation is not available on every compiler (clang 14).
    explicit ExactHandler(boost::json::storage_ptr sp) : st(std::move(sp)) {}

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code&) { return true; }
    bool on_object_end(std::size_t n, error_code&) {
        st.push_object(n);
        return true;
    }
    bool on_array_begin(error_code&) { return true; }
    bool on_array_end(std::size_t n, error_code&) {
        st.push_array(n);
        return true;
    }
    bool on_key_part(string_view s, std::size_t, error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code&) {
        st.push_key(s);
        return true;
    }
    bool on_string_part(string_view s, std::size_t, error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_string(string_view s, std::size_t, error_code&) {
        st.push_string(s);
        return true;
    }
    bool on_number_part(string_view s, error_code&) {
        number.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, string_view, error_code&) {
        number.clear();
        st.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, string_view, error_code&) {
        number.clear();
        st.push_uint64(u);
        return true;
    }
    bool on_double(double, string_view s, error_code&) {
        std::string_view text(s.data(), s.size());
        if (!number.empty()) {
            number.append(s.data(), s.size());
            text = number;
        }
        // Integers past 64 bits arrive here too; they keep every digit.
        json_dialect::push_number(st, text);
        number.clear();
        return true;
    }
    bool on_bool(bool b, error_code&) {
        st.push_bool(b);
        return true;
    }
    bool on_null(error_code&) {
        st.push_null();
        return true;
    }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }
};

bool only_space(std::string_view text) {
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
    return true;
}

boost::json::parse_options options() {
    boost::json::parse_options o;
    o.max_depth = kMaxDepth;
    return o;
}

}  // namespace

boost::json::value parse(std::string_view text, error_code& ec, boost::json::storage_ptr sp) {
    boost::json::basic_parser<ExactHandler> p(options(), boost::json::storage_ptr());
    p.handler().st.reset(sp);
    std::size_t used = p.write_some(false, text.data(), text.size(), ec);
    if (!ec) {
        if (!only_space(text.substr(used))) ec = boost::json::error::extra_data;
        if (!ec) return p.handler().st.release();
    }
    // Refused by the fast parser: read it again as Python's json would (NaN, lone surrogates...).
    // Only such rare texts pay for the second pass; the fast parser's error stands if this fails too.
    boost::json::value_stack st;
    st.reset(sp);
    if (!json_dialect::parse(text, st, kMaxDepth)) return nullptr;
    ec.clear();
    return st.release();
}

struct Incremental::Reader {
    boost::json::basic_parser<ExactHandler> parser;
    explicit Reader(boost::json::storage_ptr sp) : parser(options(), boost::json::storage_ptr()) {
        parser.handler().st.reset(std::move(sp));
    }
};

Incremental::Incremental(boost::json::storage_ptr sp) : reader_(std::make_unique<Reader>(std::move(sp))) {}

Incremental::~Incremental() = default;

bool Incremental::write(std::string_view part) {
    if (refused_ || !reader_) return false;
    if (done_) {
        // The parser would start a second document here: what follows the value is checked apart.
        refused_ = !only_space(part);
        return !refused_;
    }
    try {
        error_code ec;
        const std::size_t used = reader_->parser.write_some(true, part.data(), part.size(), ec);
        if (ec) {
            refused_ = true;
        } else if (reader_->parser.done()) {
            done_ = true;
            refused_ = !only_space(part.substr(used));
        }
    } catch (const std::exception&) {
        // parse() meets the same failure again on the joined text and lets it out from there.
        refused_ = true;
    }
    if (refused_) reader_.reset();  // what it built so far is of no use
    return !refused_;
}

std::optional<boost::json::value> Incremental::finish() {
    if (refused_ || !reader_) return std::nullopt;
    try {
        if (!done_) {
            // A value still open at the end (a top-level number) ends here, or the text is cut short.
            static const char none = 0;
            error_code ec;
            reader_->parser.write_some(false, &none, 0, ec);
            if (ec || !reader_->parser.done()) {
                refused_ = true;
                reader_.reset();
                return std::nullopt;
            }
        }
        boost::json::value v = reader_->parser.handler().st.release();
        reader_.reset();
        return v;
    } catch (const std::exception&) {
        refused_ = true;
        reader_.reset();
        return std::nullopt;
    }
}

}  // namespace gridlet::json_parse
