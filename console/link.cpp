#include "link.hpp"

#include <boost/beast/http.hpp>
#include <boost/json/value_stack.hpp>

#include "messaging/json_dialect.hpp"

#include <openssl/crypto.h>

namespace console {

namespace http = beast::http;

namespace {

// Time one connection attempt gets for TLS, the request and the upgrade: a peer that connects
// and says nothing must not hold the port.
constexpr auto kAttemptLimit = std::chrono::seconds(5);

struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool same_secret(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// A lone surrogate (three bytes ED A0..BF xx after the dialect reader) has no UTF-8 form; the
// terminal gets U+FFFD in its place.
std::string displayable(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xED && i + 2 < s.size() &&
            static_cast<unsigned char>(s[i + 1]) >= 0xA0) {
            out += "\xEF\xBF\xBD";
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

void make_displayable(json::value& v) {
    if (v.is_string()) {
        v = json::string(displayable(v.get_string()));
    } else if (v.is_array()) {
        for (auto& e : v.get_array()) make_displayable(e);
    } else if (v.is_object()) {
        json::object fixed;
        for (auto& kv : v.get_object()) {
            make_displayable(kv.value());
            fixed[displayable(kv.key())] = std::move(kv.value());
        }
        v = std::move(fixed);
    }
}

// The kernel writes a lone surrogate of a Python string as its \udXXX escape, which Boost.JSON
// refuses; such text is read again as Python's json reads it.
json::value parse_kernel_text(const std::string& text, boost::system::error_code& ec) {
    json::value v = json::parse(text, ec);
    if (!ec) return v;
    json::value_stack st;
    st.reset();
    if (!gridlet::json_dialect::parse(text, st, 1000)) return nullptr;
    ec.clear();
    v = st.release();
    make_displayable(v);
    return v;
}

}  // namespace

Link::Link(asio::io_context& io, std::shared_ptr<asio::ssl::context> tls, std::string token)
    : io_(io), acceptor_(io), tls_(std::move(tls)), token_(std::move(token)) {}

unsigned short Link::listen() {
    tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
    acceptor_.open(ep.protocol());
    acceptor_.bind(ep);
    acceptor_.listen(4);
    return acceptor_.local_endpoint().port();
}

void Link::cancel_accept() {
    boost::system::error_code ec;
    acceptor_.close(ec);
}

template <class F>
void Link::with_ws(F&& f) {
    if (auto* p = std::get_if<PlainWs>(&ws_)) f(*p);
    else if (auto* t = std::get_if<TlsWs>(&ws_)) f(*t);
}

template <class Ws>
asio::awaitable<std::string> Link::upgrade(Ws& ws) {
    if constexpr (std::is_same_v<Ws, TlsWs>)
        co_await ws.next_layer().async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
    beast::flat_buffer buf;
    http::request<http::string_body> req;
    co_await http::async_read(ws.next_layer(), buf, req, asio::use_awaitable);
    if (!websocket::is_upgrade(req)) throw Refused("refused a request that is not a WebSocket upgrade");
    auto auth = req[http::field::authorization];
    if (!same_secret(auth, "Bearer " + token_)) {
        http::response<http::string_body> res{http::status::unauthorized, req.version()};
        res.set(http::field::server, "gridlet-console");
        res.set(http::field::www_authenticate, "Bearer");
        res.body() = "this session's token is required\n";
        res.keep_alive(false);
        res.prepare_payload();
        co_await http::async_write(ws.next_layer(), res, asio::use_awaitable);
        throw Refused(auth.empty() ? "refused a connection without a token (HTTP 401)"
                                   : "refused a connection with a wrong token (HTTP 401)");
    }
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "gridlet-console"); }));
    ws.read_message_max(64u << 20);
    ws.auto_fragment(false);
    ws.text(true);
    co_await ws.async_accept(req, asio::use_awaitable);
    co_return std::string(req.target());
}

asio::awaitable<std::string> Link::accept(OnNote on_refused) {
    for (;;) {
        tcp::socket socket = co_await acceptor_.async_accept(asio::use_awaitable);
        socket.set_option(tcp::no_delay(true));
        auto& lowest = tls_ ? beast::get_lowest_layer(ws_.emplace<TlsWs>(std::move(socket), *tls_))
                            : beast::get_lowest_layer(ws_.emplace<PlainWs>(std::move(socket)));
        // Shared with the timer's handler, which may run after this attempt is over.
        auto state = std::make_shared<int>(0);  // 0: running, 1: timed out, 2: over
        asio::steady_timer limit(io_, kAttemptLimit);
        limit.async_wait([&lowest, state](boost::system::error_code ec) {
            if (ec || *state != 0) return;
            *state = 1;
            boost::system::error_code ignored;
            lowest.close(ignored);
        });
        std::string problem;
        try {
            std::string target;
            if (auto* t = std::get_if<TlsWs>(&ws_)) target = co_await upgrade(*t);
            else target = co_await upgrade(std::get<PlainWs>(ws_));
            *state = 2;
            limit.cancel();
            boost::system::error_code ec;
            acceptor_.close(ec);  // one kernel, one connection
            open_ = true;
            co_return target;
        } catch (const Refused& e) {
            problem = e.what();
        } catch (const std::exception& e) {
            problem = *state == 1 ? "a connection attempt did not complete its upgrade within 5 s"
                                  : std::string("a connection attempt failed: ") + e.what();
        }
        *state = 2;
        limit.cancel();
        boost::system::error_code ignored;
        lowest.close(ignored);
        if (on_refused) on_refused(problem);
    }
}

void Link::start(OnMessage on_message, OnNote on_problem, OnNote on_closed) {
    on_message_ = std::move(on_message);
    on_problem_ = std::move(on_problem);
    on_closed_ = std::move(on_closed);
    asio::co_spawn(
        io_, [self = shared_from_this()]() -> asio::awaitable<void> { co_await self->read_loop(); }, asio::detached);
}

asio::awaitable<void> Link::read_loop() {
    if (auto* t = std::get_if<TlsWs>(&ws_)) co_await read_frames(*t);
    else if (auto* p = std::get_if<PlainWs>(&ws_)) co_await read_frames(*p);
}

template <class Ws>
asio::awaitable<void> Link::read_frames(Ws& ws) {
    beast::flat_buffer buf;
    for (;;) {
        boost::system::error_code ec;
        co_await ws.async_read(buf, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            finish(ec == websocket::error::closed ? "the kernel closed the connection" : ec.message());
            co_return;
        }
        std::string text = beast::buffers_to_string(buf.data());
        buf.consume(buf.size());
        if (trace_) trace_('<', text);

        json::value v = parse_kernel_text(text, ec);
        if (ec || !v.is_object()) {
            on_problem_("the kernel sent something that is not a JSON object: " + text.substr(0, 200));
            continue;
        }
        auto& obj = v.get_object();
        auto* type = obj.if_contains("type");
        if (type && type->is_string() && type->get_string() == "chunk") {
            std::string problem;
            auto whole = joiner_.add(obj, problem);
            if (!problem.empty()) on_problem_("bad chunk from the kernel: " + problem);
            if (!whole) continue;
            v = parse_kernel_text(*whole, ec);
            if (ec || !v.is_object()) {
                on_problem_("a chunked message from the kernel is not a JSON object");
                continue;
            }
        }
        on_message_(v.get_object());
    }
}

void Link::send(const json::object& message) {
    std::string text = json::serialize(message);
    std::string type;
    json::value rid = nullptr;
    if (auto* t = message.if_contains("type"); t && t->is_string()) type = t->get_string();
    if (auto* r = message.if_contains("request_id")) rid = *r;
    auto frames = frames_for(text, type, rid);
    asio::post(io_,
               [self = shared_from_this(), frames = std::move(frames)]() mutable { self->queue(std::move(frames)); });
}

void Link::queue(std::vector<std::string> frames) {
    if (!open_ || close_wanted_) return;
    for (auto& f : frames) outbox_.push_back(std::move(f));
    if (!writing_) write_next();
}

void Link::close() {
    asio::post(io_, [self = shared_from_this()] {
        if (!self->open_ || self->close_wanted_) return;
        self->close_wanted_ = true;
        if (!self->writing_) self->write_next();
    });
}

void Link::write_next() {
    if (!open_) return;
    if (outbox_.empty()) {
        if (close_wanted_ && !closing_) {
            closing_ = true;
            writing_ = true;
            with_ws([this](auto& ws) {
                ws.async_close(websocket::close_code::normal,
                               [self = shared_from_this()](boost::system::error_code) { self->writing_ = false; });
            });
        }
        return;
    }
    writing_ = true;
    if (trace_) trace_('>', outbox_.front());
    with_ws([this](auto& ws) {
        ws.async_write(asio::buffer(outbox_.front()),
                       [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                           self->writing_ = false;
                           if (!self->outbox_.empty()) self->outbox_.pop_front();
                           if (ec) {
                               self->finish("write failed: " + ec.message());
                               return;
                           }
                           self->write_next();
                       });
    });
}

void Link::finish(const std::string& reason) {
    if (!open_.exchange(false)) return;
    with_ws([](auto& ws) {
        boost::system::error_code ec;
        beast::get_lowest_layer(ws).shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(ws).close(ec);
    });
    if (on_closed_) on_closed_(reason);
}

}  // namespace console
