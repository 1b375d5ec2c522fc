#include "messaging/upgrade_response.hpp"

#include <boost/beast/http.hpp>

#include <array>

namespace gridlet {
namespace http = boost::beast::http;

bool UpgradeResponse::add(std::string_view bytes) {
    if (complete_) return true;
    std::size_t searched_from = raw_.size() < 3 ? 0 : raw_.size() - 3;
    raw_.append(bytes);
    auto end = raw_.find("\r\n\r\n", searched_from);
    if (end != std::string::npos && end + 4 <= MAX_HEADER_BYTES) {
        finish(end + 4);
    } else if (raw_.size() >= MAX_HEADER_BYTES) {
        error_ = "the server's response header is larger than 64 KiB";
        complete_ = true;
    }
    return complete_;
}

void UpgradeResponse::finish(std::size_t header_end) {
    complete_ = true;
    http::response_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(MAX_HEADER_BYTES));
    parser.eager(false);
    boost::system::error_code ec;
    parser.put(boost::asio::buffer(raw_.data(), header_end), ec);
    if (ec == http::error::need_more) ec = {};  // a body may follow: only the header is parsed
    if (ec || !parser.is_header_done()) {
        error_ = "the server's response is not HTTP (" + (ec ? ec.message() : std::string("incomplete header")) + ")";
        return;
    }
    const auto& res = parser.get();
    status_ = static_cast<int>(res.result_int());
    reason_ = std::string(res.reason());
    compact_ = "HTTP/" + std::to_string(res.version() / 10) + "." + std::to_string(res.version() % 10) + " " +
               std::to_string(status_) + " " + reason_ + "\r\n";
    if (status_ == 101) {
        static constexpr std::array<http::field, 6> kept{
            http::field::upgrade,
            http::field::connection,
            http::field::sec_websocket_accept,
            http::field::sec_websocket_extensions,
            http::field::sec_websocket_protocol,
            http::field::sec_websocket_version,
        };
        for (const auto& f : res) {
            for (auto k : kept) {
                if (f.name() == k) {
                    compact_.append(f.name_string()).append(": ").append(f.value()).append("\r\n");
                    break;
                }
            }
        }
        compact_ += "\r\n";
        compact_.append(raw_, header_end);  // frames the server sent right after the upgrade
    } else {
        compact_ += "Content-Length: 0\r\n\r\n";
    }
    raw_.clear();
    raw_.shrink_to_fit();
}

}  // namespace gridlet
