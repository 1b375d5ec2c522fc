#include "kernel/kernel.hpp"

#include <boost/asio.hpp>
#include <boost/json.hpp>

#include <cstdlib>

#include "components/agent.hpp"
#include "components/com_events.hpp"
#include "components/debugger.hpp"
#include "execution/code_executor.hpp"
#include "execution/stream_classes.hpp"
#include "execution/thread_output.hpp"
#include "kernel/fd_capture.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "kernel/python_objects.hpp"
#include "kernel/worker_threads.hpp"
#include "language/language_service.hpp"
#include "messaging/batcher.hpp"
#include "messaging/constants.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "messaging/url_path.hpp"
#include "modules/module_loader.hpp"
#include "modules/virtual_environment.hpp"
#include "services/object_keeper.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace asio = boost::asio;

namespace {

void set_attr(const GilHeld& gil, PyObject* obj, const char* name, PyObject* value) {
    if (PyObject_SetAttrString(obj, name, value) < 0)
        py_error::clear_logged(gil, "kernel: setting a bridge attribute", py_error::Level::warning);
}

// With fds 1 and 2 captured, sys.stdout/sys.stderr (the console copy behind the stream hooks)
// are rebuilt on the saved original descriptors, so that copy is not forwarded a second time.
// sys.__stdout__/sys.__stderr__ stay on fds 1 and 2, line-buffered like a terminal's.
void use_console_streams(const GilHeld&) {
    const int out = fd_capture::console_fd(StreamKind::out), err = fd_capture::console_fd(StreamKind::err);
    if (out == 1 && err == 2) return;
    PyRef globals = PyRef::steal(PyDict_New());
    PyRef fds = PyRef::steal(Py_BuildValue("(ii)", out, err));
    if (!globals || !fds || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "fds", fds.get()) < 0) {
        PyErr_Print();
        return;
    }
    if (!drop(PyRun_String("import sys\n"
                           "def _console(fd, s):\n"
                           "    return open(fd, 'w', buffering=1 if s.line_buffering else -1, encoding=s.encoding,\n"
                           "                errors=s.errors, closefd=False)\n"
                           "sys.stdout = _console(fds[0], sys.__stdout__)\n"
                           "sys.stderr = _console(fds[1], sys.__stderr__)\n"
                           "sys.__stdout__.reconfigure(line_buffering=True)\n",
                           Py_file_input, globals.get(), globals.get())))
        PyErr_Print();
}

}  // namespace

Kernel::Kernel(asio::io_context& ioc, KernelOptions options)
    : ioc_(ioc), options_(std::move(options)), listener_thread_(std::this_thread::get_id()) {
    json_text::append_string(workbook_id_json_, options_.workbook_id);
}

void Kernel::init_python(const GilHeld& gil) {
    bridge_ = PyImport_ImportModule("gridlet");
    if (!bridge_) {
        PyErr_Print();
        throw std::runtime_error("cannot import the gridlet bridge module");
    }
    executor_ = std::make_unique<CodeExecutor>(gil, bridge_);
    loader_ = std::make_unique<ModuleLoader>(gil);
    virtual_env_ = std::make_unique<VirtualEnvironment>(gil, options_.workbook_id);
    object_keeper_ = std::make_unique<ObjectKeeper>(*this);
    control_.start();
    pool_.set_gate(&control_);
    language_ = std::make_unique<LanguageService>(gil, *this);
    PyRef excel = PyRef::steal(PyObject_GetAttrString(bridge_, "excel"));
    PyRef context = PyRef::steal(PyObject_GetAttrString(bridge_, "context"));
    if (!excel || !context) py_error::clear_logged(gil, "kernel: bridge excel/context", py_error::Level::warning);
    agent_ = std::make_unique<Agent>(gil, excel.get(), context.get());
    use_console_streams(gil);
    // The kernel's raw PyObject* members hold their references for the life of the process.
    original_stdout_ = Py_XNewRef(PySys_GetObject("stdout"));
    original_stderr_ = Py_XNewRef(PySys_GetObject("stderr"));
    py_self_ = python_objects::make_kernel_object(gil, *this);
    loader_->ensure_registered(gil, /*log_if_added=*/true);
    thread_output::install(gil);
    pool_.on_thread_start(worker_threads::register_current);
    pool_.start(WORKER_POOL_SIZE);
    start_interrupts();
    fd_capture::set_sink([this](StreamKind kind, std::string_view text) { send_fd_output(kind, text); });
}

Kernel::~Kernel() = default;

std::shared_ptr<DebugSession> Kernel::debugger() {
    std::lock_guard lock(debugger_mutex_);
    return debugger_;
}
void Kernel::set_debugger(std::shared_ptr<DebugSession> d) {
    std::lock_guard lock(debugger_mutex_);
    debugger_ = std::move(d);
}
void Kernel::start_interrupts() {
    const char* limit = std::getenv("GRIDLET_CALL_TIME_LIMIT");
    if (limit && *limit) {
        if (runs_.set_time_limit(limit)) GLOG_INFO("[Kernel] Worksheet functions are limited to {} s", limit);
        else
            GLOG_WARN("[Kernel] GRIDLET_CALL_TIME_LIMIT must be a positive number of seconds, got '{}': no limit",
                      limit);
    }
    // Interrupted runs that wait for the socket or for a host's answer are woken at once.
    runs_.add_waker([this] { outbox_.wake_waiters(); });
    runs_.add_waker([this] { host_requests_.wake_all(); });
    runs_.start();
}

void Kernel::clear_debugger(const DebugSession* d) {
    std::shared_ptr<DebugSession> last;  // released outside the lock
    std::lock_guard lock(debugger_mutex_);
    if (debugger_.get() == d) last = std::move(debugger_);
}
std::shared_ptr<ComEventRegistrar> Kernel::com_registrar() {
    std::lock_guard lock(com_mutex_);
    return com_registrar_;
}

void Kernel::set_com_registrar(std::shared_ptr<ComEventRegistrar> r) {
    std::shared_ptr<ComEventRegistrar> previous;
    {
        std::lock_guard lock(com_mutex_);
        previous = std::move(com_registrar_);
        com_registrar_ = std::move(r);
    }
}

// ---------------------------------------------------------------- lifecycle

asio::awaitable<void> Kernel::open_connection() {
    // The identifier is one path segment whatever it holds ("Q1/Sales", "Book 1.xlsx").
    const std::string target = "/ws/kernel/" + encode_path_segment(options_.workbook_id);
    const auto& settings = options_.connection;
    GLOG_DEBUG("[Kernel] Connecting to {}://{}:{}{}", settings.secured ? "wss" : "ws", options_.host, options_.port,
               target);
    try {
        connection_ = make_connection(ioc_, outbox_, settings);
        co_await connection_->open(options_.host, options_.port, target);
        opened_ = true;
    } catch (...) {
        open_error_ = std::current_exception();
        GLOG_DEBUG("[Kernel] Connection attempt failed");
    }
    open_finished_ = true;
}

asio::awaitable<void> Kernel::run() {
    listener_thread_ = std::this_thread::get_id();
    forbid_gil_on_this_thread();
    try {
        co_await connect();
        GLOG_INFO("Kernel connected for workbook: {}", options_.workbook_id);
        co_await listen();
    } catch (const std::exception& e) {
        GLOG_ERROR("Kernel error: {}", e.what());
    }
    co_await disconnect();
    GLOG_INFO("Kernel disconnected for workbook: {}", options_.workbook_id);
}

asio::awaitable<void> Kernel::connect() {
    if (!opened_ && !open_error_) co_await open_connection();
    if (open_error_) std::rethrow_exception(open_error_);
    running_ = true;
    connected_once_ = true;

    batcher_ = std::make_unique<MessageBatcher>(ioc_, [this](std::string_view json) {
        send_json(json, {"batch", {}});
    });
    batcher_->start();
    std::string platform;
    if (auto* p = options_.connection_args.if_contains("platform"); p && p->is_string()) platform = p->get_string();
    if (platform == "win32") start_com_hooks();
    // The bridge and the stream hooks are wired on the control thread; every request that
    // arrives from now on runs after it.
    control_.submit([this](const GilHeld& gil) { install_python_side(gil); });
}

void Kernel::install_python_side(const GilHeld& gil) {
    wire_bridge_module(gil);
    // From here every write to the process's stdout/stderr, from any thread, is streamed.
    stream_sender_ = python_objects::make_stream_sender(gil, *this);
    streams::set_native_sender(gil, stream_sender_, this);
    stdout_hook_ = streams::make_hook(gil, "stdout", stream_sender_);
    if (stdout_hook_) PySys_SetObject("stdout", stdout_hook_);
    stderr_hook_ = streams::make_hook(gil, "stderr", stream_sender_);
    if (stderr_hook_) PySys_SetObject("stderr", stderr_hook_);
    if (!stdout_hook_ || !stderr_hook_) PyErr_Print();

    PyRef messaging = PyRef::steal(PyObject_GetAttrString(bridge_, "messaging"));
    PyRef sync = PyRef::steal(python_objects::make_send_request_sync(gil, *this));
    if (messaging && sync) set_attr(gil, messaging.get(), "send_request_sync", sync.get());
    if (PyErr_Occurred()) PyErr_Print();
}

void Kernel::wire_bridge_module(const GilHeld& gil) {
    if (!drop(PyObject_GetAttrString(bridge_, "messaging"))) {
        PyErr_Print();
        return;
    }
    // loop and loop_thread are the bridge's own event loop, started when user code first reads them.
    PyRef args = PyRef::steal(py_json::to_python(gil, boost::json::value(options_.connection_args)));
    if (args) set_attr(gil, bridge_, "connection_args", args.get());
    set_attr(gil, bridge_, "_kernel_instance", py_self_);
    if (PyErr_Occurred()) PyErr_Print();
}

void Kernel::start_com_hooks() {
    try {
        std::string defs;
        json_text::ObjectWriter w(defs);
        w.str("type", "win32_event_definitions").value("definitions", win32_events_dictionary());
        w.close();
        send_json(defs, {"win32_event_definitions", {}});
        com_watcher_ = make_win32_com_watcher(*this);
        com_watcher_->start();
        std::shared_ptr<ComEventRegistrar> registrar = make_win32_com_event_registrar(*this);
        set_com_registrar(registrar);
        registrar->start();
        GLOG_INFO("[Kernel] Win32 COM watcher started");
    } catch (const std::exception& e) {
        GLOG_WARN("[Kernel] Could not start Win32 COM watcher: {}", e.what());
    }
}

asio::awaitable<void> Kernel::listen() {
    connection_->start_keep_alive();
    asio::steady_timer intake(ioc_);
    for (;;) {
        co_await pace_intake(intake);
        ReadResult frame;
        try {
            frame = co_await connection_->read(MAX_MESSAGE_SIZE);
        } catch (const boost::system::system_error& e) {
            switch (connection_->keep_alive_expired() ? ConnectionEnd::keep_alive_timeout : classify_end(e.code())) {
                case ConnectionEnd::keep_alive_timeout:
                    GLOG_WARN("[Kernel] Connection closed: no answer to the keep-alive ping within {:g} s",
                              options_.connection.ping_interval.count() / 1000.0);
                    break;
                case ConnectionEnd::protocol_error:
                    GLOG_ERROR("[Kernel] Connection closed: protocol error by the Business Layer: {}",
                               e.code().message());
                    peer_protocol_error_ = true;
                    break;
                case ConnectionEnd::closed:
                    GLOG_INFO("[Kernel] Connection closed: {}", e.code().message());
                    break;
            }
            running_ = false;
            co_return;
        }
        if (frame.too_large) {
            GLOG_WARN("Message too large: {} bytes", frame.characters);
            send_object({{"type", "error"}, {"message", "Message too large"}});
            continue;
        }
        boost::system::error_code ec;
        boost::json::value message = json_parse::parse(frame.text, ec);
        if (ec) {
            GLOG_ERROR("[Kernel] Invalid JSON received: {}", ec.message());
            send_object({{"type", "error"}, {"message", "Invalid JSON received"}});
            continue;
        }
        if (handle_message(std::move(message)) == After::shutdown) co_await disconnect();
    }
}

asio::awaitable<void> Kernel::pace_intake(asio::steady_timer& timer) {
    // While the workers have plenty queued and are taking it, the next message waits: requests
    // stay in the socket (the peer's send window) instead of piling up in memory. A queue that
    // does not move (every worker busy or blocked, perhaps on a sys_request whose answer is still
    // unread) never holds reading up.
    while (pool_.queued() > kIntakeHighWater) {
        const std::uint64_t taken = pool_.taken();
        if (taken == intake_stalled_at_) break;  // still not moving: read on without a pause
        timer.expires_after(kIntakePause);
        co_await timer.async_wait(asio::use_awaitable);
        if (pool_.taken() == taken) {
            intake_stalled_at_ = taken;
            break;
        }
    }
}

asio::awaitable<void> Kernel::stop() { co_await disconnect(); }

asio::awaitable<void> Kernel::disconnect() {
    if (disconnected_) {
        // A second caller (the receive loop ending on the closed connection) waits for the first.
        asio::steady_timer wait(ioc_);
        for (int i = 0; i < 300 && !disconnect_finished_; ++i) {
            wait.expires_after(std::chrono::milliseconds(10));
            co_await wait.async_wait(asio::use_awaitable);
        }
        co_return;
    }
    disconnected_ = true;
    running_ = false;
    if (com_watcher_) {
        com_watcher_->stop();
        com_watcher_.reset();
    }
    // A registrar implemented in Python is let go on the control thread below.
    std::shared_ptr<ComEventRegistrar> registrar = com_registrar();
    if (registrar) {
        registrar->stop();
        set_com_registrar(nullptr);
    }
    if (batcher_) batcher_->stop();
    // The socket side ends without Python: workers waiting for the Business Layer are failed,
    // what is pending is written, the close handshake is done.
    host_requests_.cancel_all();
    if (connection_) co_await connection_->close();
    outbox_.close();
    pool_.shutdown();
    if (language_) language_->shutdown();
    // The bridge is reset and the original streams put back on the control thread. A worker
    // stuck in a C call with the GIL must not hold up the end: wait for it a bounded time only.
    if (py_self_) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        // Held by pointer: if the task never runs, the registrar is not released on this thread.
        auto* held = registrar ? new std::shared_ptr<ComEventRegistrar>(std::move(registrar)) : nullptr;
        control_.submit([this, done, held](const GilHeld& gil) {
            delete held;
            remove_python_side(gil);
            *done = true;
        });
        asio::steady_timer wait(ioc_);
        for (int i = 0; i < 100 && !*done; ++i) {
            wait.expires_after(std::chrono::milliseconds(10));
            co_await wait.async_wait(asio::use_awaitable);
        }
        if (!*done) GLOG_WARN("[Kernel] Python is busy: ending without restoring the streams");
    }
    control_.shutdown();
    disconnect_finished_ = true;
}

void Kernel::remove_python_side(const GilHeld& gil) {
    if (PyRef messaging = PyRef::steal(PyObject_GetAttrString(bridge_, "messaging")))
        drop(PyObject_CallMethod(messaging.get(), "reset", nullptr));
    if (PyErr_Occurred()) PyErr_Print();
    set_attr(gil, bridge_, "_kernel_instance", Py_None);
    if (original_stdout_) PySys_SetObject("stdout", original_stdout_);
    if (original_stderr_) PySys_SetObject("stderr", original_stderr_);
}

void Kernel::restore_stream_hooks(const GilHeld&) {
    if (!running_ || !stdout_hook_ || !stderr_hook_) return;
    if (PySys_GetObject("stdout") != stdout_hook_) PySys_SetObject("stdout", stdout_hook_);
    if (PySys_GetObject("stderr") != stderr_hook_) PySys_SetObject("stderr", stderr_hook_);
}

// ---------------------------------------------------------------- send path

void Kernel::send_json(const MessageText& json, MessageInfo info) {
    if (fd_capture::in_forked_child()) return;  // a forked child never touches the write queue
    if (!connection_) {
        GLOG_WARN("[Kernel] Cannot send message type '{}': WebSocket not connected", info.type);
        return;
    }
    if (log::debug_enabled()) GLOG_DEBUG("[TIMING] Acquiring socket lock for: type={}", info.type);
    outbox_.post(json, info);
    if (log::debug_enabled()) GLOG_DEBUG("[TIMING] Message sent: type={}", info.type);
}

Outbox::Sequence Kernel::post_from_worker(const GilHeld& gil, const MessageText& json, MessageInfo info) {
    if (fd_capture::in_forked_child()) return 0;
    if (!connection_) {
        GLOG_WARN("[Kernel] Cannot send message type '{}': WebSocket not connected", info.type);
        return 0;
    }
    return post_all_from_worker(gil, {{json, info}});
}

bool Kernel::post_from_worker_by(const GilHeld& gil, const MessageText& json, MessageInfo info,
                                 std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* stop) {
    if (!connection_) {
        GLOG_WARN("[Kernel] Cannot send message type '{}': WebSocket not connected", info.type);
        return true;
    }
    bool over = false;
    outbox_.post(json, info, &over);
    if (!over || is_listener_thread()) return true;
    GilRelease released(gil);
    auto left = deadline - std::chrono::steady_clock::now();
    return outbox_.wait_for_room(std::chrono::duration<double>(left.count() > 0 ? left : left.zero()), stop);
}

Outbox::Sequence Kernel::post_all_from_worker(const GilHeld& gil, std::initializer_list<Outbox::Message> messages) {
    if (!connection_ || fd_capture::in_forked_child()) return 0;
    bool over = false;
    Outbox::Sequence seq;
    std::size_t total = 0;
    for (const auto& m : messages) total += m.json.size();
    if (total > chunk_encoder::kBufferBytes && !is_listener_thread()) {
        // Framing megabytes takes a while: other threads run meanwhile, and the socket paces it.
        InterruptibleWait interruptible(gil);
        GilRelease released(gil);
        seq = outbox_.post_all(messages, &over, {true, interruptible.stop_flag()});
        if (over) outbox_.wait_for_room(interruptible.stop_flag());
        return seq;
    }
    seq = outbox_.post_all(messages, &over);
    if (over && !is_listener_thread()) {
        // The socket is far behind: wait for it without the GIL so other threads go on. An
        // interrupt ends the wait; it is raised at the run's next Python instruction.
        InterruptibleWait interruptible(gil);
        GilRelease released(gil);
        outbox_.wait_for_room(interruptible.stop_flag());
    }
    return seq;
}

void Kernel::send_stream(const GilHeld& gil, StreamKind kind, std::string_view utf8) {
    thread_local std::string message;
    message.clear();
    message += kind == StreamKind::out ? "{\"type\":\"stdout\",\"content\":" : "{\"type\":\"stderr\",\"content\":";
    json_text::append_string(message, utf8);
    message += ",\"workbook_id\":";
    message += workbook_id_json_;
    message += '}';
    post_from_worker(gil, message, {kind == StreamKind::out ? "stdout" : "stderr", {}});
}

void Kernel::send_fd_output(StreamKind kind, std::string_view utf8) {
    if (!running_ || !connection_ || fd_capture::in_forked_child()) return;
    std::string message =
        kind == StreamKind::out ? "{\"type\":\"stdout\",\"content\":" : "{\"type\":\"stderr\",\"content\":";
    json_text::append_string(message, utf8);
    message += ",\"workbook_id\":";
    message += workbook_id_json_;
    message += '}';
    bool over = false;
    outbox_.post(message, {kind == StreamKind::out ? "stdout" : "stderr", {}}, &over);
    if (over) outbox_.wait_for_room();  // the pipe's writers wait, as they would for a slow terminal
}

void Kernel::send_object(const boost::json::object& message) {
    std::string text;
    json_text::append_value(text, message);
    std::string rid;
    const auto* type = message.if_contains("type");
    const auto* request_id = message.if_contains("request_id");
    if (request_id) json_text::append_value(rid, *request_id);
    send_json(text, {type && type->is_string() ? std::string_view(type->get_string()) : std::string_view("unknown"),
                     request_id ? std::string_view(rid) : std::string_view()});
}

void Kernel::send_error_reply(std::string_view text, const boost::json::value* original_type,
                              const boost::json::value* request_id) {
    boost::json::object reply{{"type", "error"}, {"message", text}};
    reply["original_type"] = original_type ? *original_type : boost::json::value(nullptr);
    if (request_id) reply["request_id"] = *request_id;
    send_object(reply);
}

// ---------------------------------------------------------------- cancellation marks

void Kernel::mark_cancelled(const std::string& request_id) {
    // A cancel may arrive before its stream starts, so marks are kept until a stream takes them;
    // marks for streams that never come are bounded: past the limit they are all forgotten.
    constexpr std::size_t kMaxMarks = 4096;
    std::lock_guard lock(cancel_mutex_);
    if (cancelled_.size() >= kMaxMarks) {
        GLOG_WARN("[Kernel] {} cancellations for streams that never started: forgetting them", cancelled_.size());
        cancelled_.clear();
    }
    cancelled_.insert(request_id);
}

bool Kernel::take_cancelled(const std::string& request_id) {
    std::lock_guard lock(cancel_mutex_);
    return cancelled_.erase(request_id) > 0;
}

void Kernel::forget_cancelled(const std::string& request_id) {
    std::lock_guard lock(cancel_mutex_);
    cancelled_.erase(request_id);
}

}  // namespace gridlet
