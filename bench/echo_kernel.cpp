// gridlet-echo-kernel: the floor for the round-trip figures. It connects like the kernel
// (`gridlet-echo-kernel WORKBOOK_ID PORT`, WebSocket to 127.0.0.1:PORT/ws/kernel/WORKBOOK_ID),
// parses each message and answers at once, without Python: `execution_request` with an
// `execution_result` ("2"), `custom_function_call` with a `function_execution_result` (3), both
// carrying the request's id; `shutdown` ends it. What the real kernel adds on top of this is what
// its round trips cost beyond the socket, the WebSocket framing and one JSON parse.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <cstdio>
#include <string>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace json = boost::json;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gridlet-echo-kernel WORKBOOK_ID PORT\n");
        return 2;
    }
    const std::string workbook = argv[1], port = argv[2];
    try {
        asio::io_context ioc;
        asio::ip::tcp::resolver resolver(ioc);
        websocket::stream<asio::ip::tcp::socket> ws(ioc);
        asio::connect(ws.next_layer(), resolver.resolve("127.0.0.1", port));
        ws.next_layer().set_option(asio::ip::tcp::no_delay(true));
        ws.handshake("127.0.0.1:" + port, "/ws/kernel/" + workbook);
        ws.text(true);
        beast::flat_buffer buffer;
        std::string reply;
        for (;;) {
            buffer.clear();
            ws.read(buffer);
            auto data = buffer.cdata();
            boost::system::error_code ec;
            json::value v = json::parse(json::string_view(static_cast<const char*>(data.data()), data.size()), ec);
            if (ec || !v.is_object()) continue;
            const auto& o = v.as_object();
            const auto* type = o.if_contains("type");
            if (!type || !type->is_string()) continue;
            const auto* id = o.if_contains("request_id");
            const std::string id_json = id ? json::serialize(*id) : "null";
            if (*type == "execution_request") {
                reply = R"({"type":"execution_result","success":true,"result":"2","request_id":)" + id_json + "}";
            } else if (*type == "custom_function_call") {
                reply = R"({"type":"function_execution_result","request_id":)" + id_json +
                        R"(,"status":"success","result":3,"logs":""})";
            } else if (*type == "shutdown") {
                boost::system::error_code ignored;
                ws.close(websocket::close_code::normal, ignored);
                return 0;
            } else {
                continue;
            }
            ws.write(asio::buffer(reply));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gridlet-echo-kernel: %s\n", e.what());
        return 1;
    }
}
