#pragma once
// Parsing of incoming messages into what Python's json would read: numbers with a fraction or
// exponent as the nearest double to their text (not the library's fast approximation), integers of
// any size exactly (json_bigint), and NaN, Infinity and lone surrogate escapes (json_dialect).
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <memory>
#include <optional>
#include <string_view>

namespace gridlet::json_parse {

// Nesting deeper than this is refused, as Python's own decoder refuses runaway recursion.
inline constexpr std::size_t kMaxDepth = 1000;

// The value is made in `sp` (the default resource when null).
boost::json::value parse(std::string_view text, boost::system::error_code& ec, boost::json::storage_ptr sp = {});

// The fast parser fed one part of a text at a time, as the parts arrive. Its value, when it accepts
// the whole text, is the one parse() gives for the parts joined. When it refuses the text (an error,
// or a construct only the dialect reader knows, such as NaN) it reads nothing more, and the caller
// parses the joined text with parse(), which gives the dialect's value or the error to report.
class Incremental {
public:
    explicit Incremental(boost::json::storage_ptr sp = {});
    ~Incremental();
    Incremental(const Incremental&) = delete;
    Incremental& operator=(const Incremental&) = delete;

    // Reads the next part; false once the text is refused.
    bool write(std::string_view part);
    // Ends the text: its value, or nullopt when refused.
    std::optional<boost::json::value> finish();
    bool refused() const { return refused_; }

private:
    struct Reader;
    std::unique_ptr<Reader> reader_;
    bool refused_ = false;
    bool done_ = false;  // the value has ended; only whitespace may follow
};

}  // namespace gridlet::json_parse
