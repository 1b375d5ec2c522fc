#pragma once
// The kernel: one per workbook. Connects to the Business Layer, receives and dispatches messages on
// the listener (the main thread's io_context, without the GIL), runs user code on the worker pool
// and sends everything through the connection's one write queue.
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "execution/active_runs.hpp"
#include "execution/run_output.hpp"
#include "kernel/control_queue.hpp"
#include "kernel/gil.hpp"
#include "kernel/handler_context.hpp"
#include "kernel/kernel_replies.hpp"
#include "kernel/worker_pool.hpp"
#include "messaging/chunk_assembler.hpp"
#include "messaging/connection.hpp"
#include "messaging/connection_settings.hpp"
#include "messaging/host_requests.hpp"
#include "messaging/outbox.hpp"

namespace gridlet {

class CodeExecutor;
class ModuleLoader;
class VirtualEnvironment;
class ObjectKeeper;
class MessageBatcher;
class LanguageService;
class DebugSession;
class ComEventRegistrar;
class ComWatcher;
class Agent;

struct KernelOptions {
    std::string workbook_id;
    std::string host = "127.0.0.1";
    std::string port = "8000";
    boost::json::object connection_args;
    ConnectionSettings connection;
};

class Kernel {
public:
    // No Python is touched here: the connection can be opened while the interpreter starts.
    Kernel(boost::asio::io_context& ioc, KernelOptions options);
    ~Kernel();

    // Opens the WebSocket connection (no GIL needed). May run on another thread than the
    // listener; a failure is kept for run() to report.
    boost::asio::awaitable<void> open_connection();
    bool open_finished() const { return open_finished_; }
    // Builds the Python side (executor, loader, kernel object, workers). Called once, with the GIL.
    void init_python(const GilHeld& gil);
    // connect (or finish connecting), listen until the connection ends, always disconnect.
    boost::asio::awaitable<void> run();
    bool connected_once() const { return connected_once_; }
    // Ends the connection with a close frame, as a shutdown message does (SIGTERM, SIGINT).
    boost::asio::awaitable<void> stop();
    // The process's exit status once run() is over: 0 after a connection that ended, 1 when none
    // could be made, 3 when the peer broke the WebSocket protocol.
    int exit_status() const { return !connected_once_ ? 1 : peer_protocol_error_ ? 3 : 0; }

    // ---- send path (no GIL needed) ----
    // Posts one encoded message from any thread; never blocks.
    void send_json(const MessageText& json, MessageInfo info);
    // Posts from a thread running Python; waits (GIL released) while the socket is far behind. A
    // long message is framed with the GIL released (its text must not be Python-owned mutable
    // memory), paced by the socket as it goes.
    Outbox::Sequence post_from_worker(const GilHeld&, const MessageText& json, MessageInfo info);
    // Same, waiting for room at most until `deadline`: false when the socket is still far behind.
    // `stop` (an interrupt of the run) ends the wait early, also with false.
    bool post_from_worker_by(const GilHeld&, const MessageText& json, MessageInfo info,
                             std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* stop);
    // A write to the stream hooks outside any run: {"type":stdout|stderr,"content","workbook_id"}.
    void send_stream(const GilHeld&, StreamKind kind, std::string_view utf8);
    // Listener-side replies built as JSON objects.
    void send_object(const boost::json::object& message);

    // ---- what message handlers get ----
    Replies& replies() { return replies_; }
    HandlerContext handler_context() {
        return {replies_, pool_, runs_, control_, bridge_, loader_.get(), executor_.get(), this};
    }

    // ---- state other subsystems use ----
    const std::string& workbook_id() const { return options_.workbook_id; }
    const std::string& workbook_id_json() const { return workbook_id_json_; }
    boost::asio::io_context& io() { return ioc_; }
    Outbox& outbox() { return outbox_; }
    HostRequests& host_requests() { return host_requests_; }
    // The runs of user code in progress (interrupts, the worksheet-function time limit).
    ActiveRuns& runs() { return runs_; }
    WorkerPool& pool() { return pool_; }
    // Python state changes, applied in arrival order off the listener (see ControlQueue).
    ControlQueue& control() { return control_; }
    CodeExecutor& executor() { return *executor_; }
    ModuleLoader& loader() { return *loader_; }
    VirtualEnvironment& virtual_env() { return *virtual_env_; }
    ObjectKeeper& object_keeper() { return *object_keeper_; }
    LanguageService& language() { return *language_; }
    // The debug session of the current debug run (any thread).
    std::shared_ptr<DebugSession> debugger();
    void set_debugger(std::shared_ptr<DebugSession> d);
    // Clears the slot if it still holds `d` (a newer run may have replaced it).
    void clear_debugger(const DebugSession* d);
    // The COM event registrar, when active. Read by workers and the listener, set by either.
    std::shared_ptr<ComEventRegistrar> com_registrar();
    void set_com_registrar(std::shared_ptr<ComEventRegistrar> r);
    bool is_listener_thread() const { return std::this_thread::get_id() == listener_thread_; }
    bool running() const { return running_; }
    PyObject* bridge_module() const { return bridge_; }

    // Listener: hands a sys_response to the worker waiting for it (no Python).
    void deliver_sys_response(boost::json::object& message);
    // Listener: a shutdown message; the receive loop disconnects after it.
    void request_shutdown() { shutdown_requested_ = true; }

    // Streaming cancellation marks (listener adds, workers test and remove).
    void mark_cancelled(const std::string& request_id);
    bool take_cancelled(const std::string& request_id);
    void forget_cancelled(const std::string& request_id);

private:
    friend class KernelReplies;
    enum class After { next, shutdown };

    // Several replies of one call, posted together (empty texts are skipped).
    Outbox::Sequence post_all_from_worker(const GilHeld&, std::initializer_list<Outbox::Message> messages);
    // What the fd reader thread read from fds 1/2 (no GIL): a plain stdout/stderr message.
    void send_fd_output(StreamKind kind, std::string_view utf8);
    // {"type":"error","message",...} for input the kernel refuses.
    void send_error_reply(std::string_view text, const boost::json::value* original_type,
                          const boost::json::value* request_id);
    // Puts the stream hooks back into sys.stdout/sys.stderr if something replaced them.
    void restore_stream_hooks(const GilHeld&);

    boost::asio::awaitable<void> connect();
    boost::asio::awaitable<void> listen();
    // Before each message is read: waits while more than kIntakeHighWater tasks are queued and
    // the workers are taking them.
    boost::asio::awaitable<void> pace_intake(boost::asio::steady_timer& timer);
    static constexpr std::size_t kIntakeHighWater = 1024;
    static constexpr auto kIntakePause = std::chrono::microseconds(200);
    std::uint64_t intake_stalled_at_ = ~std::uint64_t(0);  // pool_.taken() when the queue was last seen stuck
    boost::asio::awaitable<void> disconnect();
    void wire_bridge_module(const GilHeld&);
    void start_com_hooks();
    // Python side of connect and disconnect, on the control thread.
    void install_python_side(const GilHeld&);
    void remove_python_side(const GilHeld&);
    void start_interrupts();

    After handle_message(boost::json::value&& message);
    void handle_object(boost::json::object& message);

    boost::asio::io_context& ioc_;
    KernelOptions options_;
    std::string workbook_id_json_;
    std::thread::id listener_thread_;

    Outbox outbox_;
    KernelReplies replies_{*this};
    std::unique_ptr<Connection> connection_;
    HostRequests host_requests_;
    ActiveRuns runs_;
    ChunkAssembler chunks_;
    ControlQueue control_;
    WorkerPool pool_{"ThreadPoolExecutor-0"};

    std::unique_ptr<CodeExecutor> executor_;
    std::unique_ptr<ModuleLoader> loader_;
    std::unique_ptr<VirtualEnvironment> virtual_env_;
    std::unique_ptr<ObjectKeeper> object_keeper_;
    std::unique_ptr<MessageBatcher> batcher_;
    std::unique_ptr<LanguageService> language_;
    std::mutex debugger_mutex_;
    std::shared_ptr<DebugSession> debugger_;
    std::mutex com_mutex_;
    std::shared_ptr<ComEventRegistrar> com_registrar_;
    std::unique_ptr<ComWatcher> com_watcher_;
    std::unique_ptr<Agent> agent_;

    std::mutex cancel_mutex_;
    std::unordered_set<std::string> cancelled_;

    PyObject* bridge_ = nullptr;           // the gridlet module
    PyObject* py_self_ = nullptr;          // gridlet._kernel_instance while connected
    PyObject* original_stdout_ = nullptr;  // sys.stdout/sys.stderr at construction
    PyObject* original_stderr_ = nullptr;
    PyObject* stream_sender_ = nullptr;  // send_stream_message
    PyObject* stdout_hook_ = nullptr;    // the hooks installed by connect
    PyObject* stderr_hook_ = nullptr;

    std::exception_ptr open_error_;
    std::atomic<bool> open_finished_{false};
    bool opened_ = false;
    std::atomic<bool> running_{false};
    bool connected_once_ = false;
    bool shutdown_requested_ = false;
    bool disconnected_ = false;
    bool disconnect_finished_ = false;
    bool peer_protocol_error_ = false;
};

}  // namespace gridlet
