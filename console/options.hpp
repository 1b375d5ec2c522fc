// Command line of gridlet-console.
#pragma once

#include <optional>
#include <string>

namespace console {

struct Options {
    std::string folder;  // workbook folder; empty: no modules, one empty sheet
    std::string script;  // --script FILE ("-" = standard input); empty: interactive
    bool echo = false;
    bool stop_on_error = false;
    double timeout = -1;  // seconds per command; < 0: default for the mode; 0: none
    std::string kernel;   // kernel binary
    std::string workbook_id;
    std::string log_level = "WARNING";
    std::string kernel_log;       // empty: a temporary file
    double poll = 0.5;            // seconds between folder scans; 0: never
    double connect_timeout = 20;  // seconds for the kernel to connect
    bool verbose = false;
    std::string images;     // --images DIR; empty: a new temporary folder per session
    bool insecure = false;  // plain ws:// instead of wss:// with the session's certificate
};

extern const char* const kUsage;

// Parses argv. On `--help` or `--version` returns nothing and sets `help` or `version`; on a
// mistake returns nothing and sets `error`.
std::optional<Options> parse_options(int argc, char** argv, bool& help, bool& version, std::string& error);

}  // namespace console
