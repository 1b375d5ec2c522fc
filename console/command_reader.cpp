#include "command_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace console {

namespace {

class FdSource : public LineSource {
public:
    FdSource(int fd, SourceHooks hooks) : fd_(fd), hooks_(std::move(hooks)) {}
    ~FdSource() override {
        if (fd_ > 2) ::close(fd_);
    }

    std::optional<std::string> next_line(const char* prompt) override {
        if (hooks_.show_prompt) hooks_.show_prompt(prompt);
        for (;;) {
            auto nl = buf_.find('\n', scanned_);
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                scanned_ = 0;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            scanned_ = buf_.size();
            if (eof_) {
                if (buf_.empty()) return std::nullopt;
                std::string line;
                line.swap(buf_);
                scanned_ = 0;
                return line;
            }
            if (!wait_readable()) return std::nullopt;
            char chunk[4096];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0) {
                buf_.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0) {
                eof_ = true;
            } else if (errno != EINTR && errno != EAGAIN) {
                eof_ = true;
            }
        }
    }

private:
    // Waits until the input can be read. Returns false when a signal asks to end.
    bool wait_readable() {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {hooks_.wake_fd, POLLIN, 0}};
            int n = ::poll(fds, hooks_.wake_fd >= 0 ? 2 : 1, -1);
            bool signalled = n < 0 && errno == EINTR;
            if (n > 0 && (fds[1].revents & POLLIN)) {
                char drain[64];
                while (::read(hooks_.wake_fd, drain, sizeof drain) > 0) {}
                signalled = true;
            }
            if (signalled) {
                if (hooks_.stop && hooks_.stop()) return false;
                if (hooks_.take_interrupt && hooks_.take_interrupt()) {
                    buf_.clear();
                    scanned_ = 0;
                    throw InputInterrupted{};
                }
            }
            if (n > 0 && fds[0].revents) return true;
            if (n < 0 && errno != EINTR) return true;  // let read() report the problem
        }
    }

    int fd_;
    SourceHooks hooks_;
    std::string buf_;
    std::size_t scanned_ = 0;
    bool eof_ = false;
};

bool blank(const std::string& s) { return s.find_first_not_of(" \t\f\v") == std::string::npos; }

bool comment_only(const std::string& s) {
    auto p = s.find_first_not_of(" \t");
    return p != std::string::npos && s[p] == '#';
}

// A line that continues a compound statement although it is not indented.
bool continuation_keyword(const std::string& s) {
    for (const char* kw : {"else", "elif", "except", "finally"}) {
        std::size_t n = std::char_traits<char>::length(kw);
        if (s.compare(0, n, kw) == 0 && (s.size() == n || s[n] == ':' || s[n] == ' ' || s[n] == '\t' || s[n] == '('))
            return true;
    }
    return false;
}

}  // namespace

std::unique_ptr<LineSource> fd_source(int fd, SourceHooks hooks) {
    return std::make_unique<FdSource>(fd, std::move(hooks));
}

PythonScan scan_python(const std::string& text) {
    PythonScan st;
    char quote = 0;
    bool triple = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == '\\') {
                ++i;
            } else if (c == quote) {
                if (!triple) {
                    quote = 0;
                } else if (i + 2 < text.size() && text[i + 1] == quote && text[i + 2] == quote) {
                    quote = 0;
                    i += 2;
                }
            } else if (c == '\n' && !triple) {
                quote = 0;  // an unclosed one-line string: the kernel will say so
            }
            continue;
        }
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            triple = i + 2 < text.size() && text[i + 1] == c && text[i + 2] == c;
            if (triple) i += 2;
            st.last = c;
            continue;
        }
        if (c == '(' || c == '[' || c == '{') ++st.depth;
        if ((c == ')' || c == ']' || c == '}') && st.depth > 0) --st.depth;
        if (!std::isspace(static_cast<unsigned char>(c))) st.last = c;
    }
    st.in_string = quote != 0 && triple;
    auto end = text.find_last_not_of(" \t\r\n");
    st.backslash = quote == 0 && end != std::string::npos && text[end] == '\\';
    return st;
}

std::optional<std::string> CommandReader::read(const char* prompt) {
    if (held_) {
        std::string l = std::move(*held_);
        held_.reset();
        line_no_ = held_no_;
        return l;
    }
    auto line = src_.next_line(prompt);
    if (line) ++line_no_;
    return line;
}

std::optional<Command> CommandReader::next() {
    for (;;) {
        try {
            std::optional<std::string> line;
            for (;;) {
                line = read(">>> ");
                if (!line) return std::nullopt;
                if (!blank(*line) && !comment_only(*line)) break;
            }
            Command cmd;
            cmd.line = line_no_;
            auto first = line->find_first_not_of(" \t");
            if ((*line)[first] == '%') {
                cmd.console = true;
                cmd.text = line->substr(first);
                while (!cmd.text.empty() && std::isspace(static_cast<unsigned char>(cmd.text.back())))
                    cmd.text.pop_back();
                return cmd;
            }
            std::string block = *line;
            // Lines that an open bracket, string or backslash carries on.
            auto complete_open = [&]() {
                while (scan_python(block).open()) {
                    auto more = read("... ");
                    if (!more) return;
                    block += '\n' + *more;
                }
            };
            complete_open();
            auto st = scan_python(block);
            bool decorating = block[first] == '@';
            bool compound = st.last == ':' || decorating;
            while (compound) {
                auto more = read("... ");
                if (!more || blank(*more)) break;
                bool indented = (*more)[0] == ' ' || (*more)[0] == '\t';
                // After a decorator the next line belongs to the block whatever its indent.
                if (!decorating && !indented && !continuation_keyword(*more)) {
                    held_ = std::move(*more);
                    held_no_ = line_no_;
                    break;
                }
                decorating = decorating && (*more)[0] == '@';
                block += '\n' + *more;
                complete_open();
            }
            cmd.text = std::move(block);
            return cmd;
        } catch (const InputInterrupted&) {
            held_.reset();  // Ctrl-C drops what was being typed; read a fresh command
        }
    }
}

std::pair<std::string, std::string> first_word(const std::string& text) {
    auto b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return {"", ""};
    auto e = text.find_first_of(" \t", b);
    if (e == std::string::npos) return {text.substr(b), ""};
    auto r = text.find_first_not_of(" \t", e);
    return {text.substr(b, e - b), r == std::string::npos ? "" : text.substr(r)};
}

std::pair<std::string, std::string> split_target(const std::string& target) {
    auto dot = target.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == target.size())
        throw std::invalid_argument("expected module.function, got '" + target + "'");
    return {target.substr(0, dot), target.substr(dot + 1)};
}

json::array parse_arguments(const std::string& text) {
    json::array args;
    std::size_t i = 0, n = text.size();
    while (i < n) {
        while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= n) break;
        char c = text[i];
        std::size_t start = i;
        if (c == '\'') {
            auto close = text.find('\'', i + 1);
            if (close == std::string::npos) throw std::invalid_argument("unclosed ' in arguments");
            args.emplace_back(text.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        if (c == '[' || c == '{' || c == '"') {
            // Up to the end of the JSON value: a string's closing quote, or balanced brackets.
            if (c == '"') {
                for (++i; i < n; ++i) {
                    if (text[i] == '\\') {
                        ++i;
                    } else if (text[i] == '"') {
                        ++i;
                        break;
                    }
                }
            } else {
                int depth = 0;
                bool in_str = false;
                for (; i < n; ++i) {
                    char d = text[i];
                    if (in_str) {
                        if (d == '\\') ++i;
                        else if (d == '"') in_str = false;
                    } else if (d == '"') {
                        in_str = true;
                    } else if (d == '[' || d == '{') {
                        ++depth;
                    } else if ((d == ']' || d == '}') && --depth == 0) {
                        ++i;
                        break;
                    }
                }
            }
            if (i > n) i = n;
            std::string piece = text.substr(start, i - start);
            boost::system::error_code ec;
            auto v = json::parse(piece, ec);
            if (ec) throw std::invalid_argument("bad JSON argument: " + piece);
            args.push_back(std::move(v));
            continue;
        }
        while (i < n && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        std::string word = text.substr(start, i - start);
        boost::system::error_code ec;
        auto v = json::parse(word, ec);
        if (!ec && !v.is_structured()) {
            args.push_back(std::move(v));
        } else {
            args.emplace_back(word);
        }
    }
    return args;
}

}  // namespace console
