// Turns input lines into commands: a console command is one line starting with '%'; Python is a
// line, or a block when the line opens one (a trailing ':', a decorator, an open bracket or
// string, a trailing backslash). A block goes on over indented lines and over lines that start
// with else/elif/except/finally; a blank line or the next unindented line ends it.
#pragma once

#include <boost/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace console {

namespace json = boost::json;

// Where lines come from. `prompt` is shown only by interactive sources.
class LineSource {
public:
    virtual ~LineSource() = default;
    // The next line without its line break; nothing at the end of input.
    virtual std::optional<std::string> next_line(const char* prompt) = 0;
};

// Thrown by a line source when Ctrl-C discards the input being typed.
struct InputInterrupted {};

// Hooks of a line source.
struct SourceHooks {
    std::function<void(const char*)> show_prompt;  // null: no prompts (files, pipes)
    std::function<bool()> stop;                    // a signal asked the console to end
    std::function<bool()> take_interrupt;          // Ctrl-C was pressed since the last call
    int wake_fd = -1;                              // readable when a signal arrived (the signal handlers write to it)
};

// Lines read from a file descriptor (a file, a pipe or a terminal). When a signal arrives
// while it waits, the input ends if `stop()` says so, InputInterrupted is thrown if
// `take_interrupt()` reports Ctrl-C, and otherwise the wait goes on.
std::unique_ptr<LineSource> fd_source(int fd, SourceHooks hooks);

struct Command {
    std::string text;      // the whole Python block, or the console command line
    bool console = false;  // starts with '%'
    int line = 0;          // first line number in the input
};

class CommandReader {
public:
    explicit CommandReader(LineSource& src) : src_(src) {}
    std::optional<Command> next();

private:
    std::optional<std::string> read(const char* prompt);
    LineSource& src_;
    std::optional<std::string> held_;  // a line read ahead that starts the next command
    int held_no_ = 0;                  // its line number
    int line_no_ = 0;                  // number of the line read last
};

// What a scan of Python text found at its end.
struct PythonScan {
    int depth = 0;           // open brackets
    bool in_string = false;  // inside a triple-quoted string
    bool backslash = false;  // the last line ends with a continuation backslash
    char last = 0;           // last character outside strings and comments
    bool open() const { return depth > 0 || in_string || backslash; }
};
PythonScan scan_python(const std::string& text);

// Arguments of %call, %stream and %event: JSON values where the text is JSON ([1, 2],
// {"a": 1}, "text", 3.5, true, null), 'single-quoted text' as a string, any other word as a
// string. Throws std::invalid_argument on broken JSON or an unclosed quote.
json::array parse_arguments(const std::string& text);

// Splits "module.function" at its last dot. Throws std::invalid_argument when malformed.
std::pair<std::string, std::string> split_target(const std::string& target);

// The first word of `text` and the rest after the whitespace that follows it.
std::pair<std::string, std::string> first_word(const std::string& text);

}  // namespace console
