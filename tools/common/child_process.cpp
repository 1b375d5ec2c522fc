#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tools {

pid_t spawn_process(const SpawnSpec& s) {
    std::vector<std::string> args = s.argv;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string_view kv(*e);
        bool dropped = false;
        for (auto prefix : s.drop_env) dropped = dropped || kv.starts_with(prefix);
        if (!dropped) env.emplace_back(kv);
    }
    env.insert(env.end(), s.add_env.begin(), s.add_env.end());

    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!s.output_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, s.output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (s.own_process_group) {
        posix_spawnattr_setpgroup(&attr, 0);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) sigaddset(&defaults, sig);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }

    const std::string program = args.empty() ? std::string() : args.front();
    pid_t pid = -1;
    int rc = args.empty() ? EINVAL : posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    return pid;
}

bool ExitState::poll(pid_t pid) {
    if (exited || pid <= 0) return true;
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        exited = true;
        status = st;
    } else if (r < 0 && errno == ECHILD) {
        exited = true;
    }
    return exited;
}

void ExitState::kill_and_reap(pid_t pid) {
    if (pid <= 0 || poll(pid)) return;
    ::kill(pid, SIGKILL);
    int st = 0;
    pid_t r;
    while ((r = waitpid(pid, &st, 0)) < 0 && errno == EINTR) {}
    if (r == pid) status = st;
    exited = true;
}

std::string ExitState::text() const {
    if (!exited) return "running";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

int ExitState::exit_code() const {
    if (exited && WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !poll_exit()) kill_now();
}

bool ChildProcess::poll_exit() { return state_.poll(pid_); }

bool ChildProcess::wait_exit(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!poll_exit()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void ChildProcess::kill_now() { state_.kill_and_reap(pid_); }

}  // namespace tools
