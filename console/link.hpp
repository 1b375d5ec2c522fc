// The server end of the kernel's WebSocket connection: listens on 127.0.0.1 (an ephemeral
// port), accepts the kernel, reads its messages (joining chunked ones) and writes ours (chunking
// long ones). All socket work runs on one io_context thread; send() may be called from any thread.
#pragma once

#include "chunks.hpp"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace console {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;

class Link : public std::enable_shared_from_this<Link> {
 public:
  using OnMessage = std::function<void(json::object&)>;
  using OnNote = std::function<void(const std::string&)>;
  // Sees every frame: direction '<' (from the kernel) or '>' (to it) and the text.
  using Trace = std::function<void(char, std::string_view)>;

  explicit Link(asio::io_context& io);

  // Binds 127.0.0.1 on a free port and returns it.
  unsigned short listen();
  // Accepts one connection and answers its upgrade; returns the path the kernel asked for.
  asio::awaitable<std::string> accept();
  // Stops a pending accept (io thread).
  void cancel_accept();

  // Starts reading: whole messages go to `on_message`; frames that are not JSON objects and bad
  // chunks go to `on_problem`; `on_closed` is called once with the reason when the connection ends.
  void start(OnMessage on_message, OnNote on_problem, OnNote on_closed);
  void set_trace(Trace trace) { trace_ = std::move(trace); }

  // Queues one message (any thread).
  void send(const json::object& message);
  // Sends a close frame after what is queued (any thread).
  void close();
  bool is_open() const { return open_; }

 private:
  asio::awaitable<void> read_loop();
  void queue(std::vector<std::string> frames);
  void write_next();
  void finish(const std::string& reason);

  asio::io_context& io_;
  tcp::acceptor acceptor_;
  std::optional<websocket::stream<tcp::socket>> ws_;
  OnMessage on_message_;
  OnNote on_problem_, on_closed_;
  Trace trace_;
  std::deque<std::string> outbox_;
  bool writing_ = false;
  bool close_wanted_ = false;
  bool closing_ = false;
  std::atomic<bool> open_{false};
  ChunkJoiner joiner_;
};

}  // namespace console
