#include "options.hpp"

#include "kernel_child.hpp"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace console {

const char* const kUsage = R"(Usage: gridlet-console [options] [FOLDER]

A local stand-in for the spreadsheet add-in: it starts gridlet-kernel against itself and gives a
prompt. FOLDER is a workbook: each NAME.py file is the module NAME (re-sent when it changes,
deleted when the file goes) and each SHEET.csv file is a sheet of the in-memory workbook that
gridlet.excel reads and writes.

At the prompt, Python lines and blocks run in the kernel; their output shows as it is written.
Ctrl-C during a command interrupts it in the kernel (KeyboardInterrupt) and shows how it ends;
a second Ctrl-C stops waiting for it.
Console commands:
  %call MODULE.FUNC ARG...      call a worksheet function (custom_function_call)
  %stream [-n N] MODULE.FUNC ARG...
                                run a generator function, one value per line, until it ends,
                                N values have come, or Ctrl-C (cancel_streaming_function;
                                a second Ctrl-C interrupts the generator)
  %event MODULE.FUNC ARG...     fire an event handler (event_execution)
  %paths [add DIR | remove DIR | reset]
                                show or change the kernel's sys.path
  %objects                      the objects kept by gridlet._kernel_instance.save_object
  %reset                        clear the Python namespace
  %complete TEXT                completions at the end of TEXT
  %hover TEXT                   hover text for the last name in TEXT
  %check MODULE|CODE            diagnostics of a module or of one line of code
  %modules                      the modules sent from FOLDER
  %sync                         send changed modules now and wait for the kernel
  %sheets                       the sheets and their used ranges
  %show [RANGE]                 cells of a range ("Sales!A1:C4"; default: the first sheet)
                                and the pictures placed on its sheet
  %pictures                     the pictures placed by gridlet add_picture
  %save-picture NAME FILE       write a placed picture to FILE (PNG); quote a NAME with spaces
  %help                         this list
  %quit                         leave (Ctrl-D does the same)
Arguments are JSON where they parse as JSON ([1, 2], {"a": 1}, "text", 3.5, true, null);
'single-quoted text' and other words are strings.

Options:
  --script FILE        run the commands in FILE, one per line ('-': standard input), and exit
  --echo               print each command of the script before its output
  --stop-on-error      stop the script at the first command that fails
  --timeout SECONDS    longest wait for one command (scripts: 60; interactive: none; 0: none)
  --kernel PATH        kernel binary (default: gridlet-kernel next to this program)
  --workbook-id ID     workbook id given to the kernel (default: the folder's name)
  --log-level LEVEL    kernel log level: DEBUG, INFO, WARNING (default), ERROR
  --kernel-log FILE    append the kernel's log to FILE (default: a temporary file, removed
                       at exit and shown when the kernel fails to start)
  --poll SECONDS       how often FOLDER is checked for changed files (default 0.5; 0: never)
  --images DIR         where the images shown by the kernel are written (default: a new
                       folder under the temporary folder, named when the first one comes)
  --verbose            print every protocol message on stderr
  --insecure           plain ws:// between the console and the kernel (default: wss:// with a
                       certificate made for the session, which the kernel pins; either way the
                       kernel must present the session's random token)
  --help               this text
  --version            print the version and exit

Exit status: 0 when every command succeeded, 1 when a command failed (Python error, failed call,
no reply in time), 2 for bad arguments, 3 when the kernel could not be started or the
connection was lost, 130 after Ctrl-C in a script.
)";

namespace {

bool to_seconds(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && out >= 0;
}

std::string sanitized_id(std::string s) {
    for (auto& c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) c = '-';
    return s.empty() ? "console" : s;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, bool& help, bool& version, std::string& error) {
    Options o;
    help = false;
    version = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = std::string(a) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            help = true;
            return std::nullopt;
        } else if (a == "--version") {
            version = true;
            return std::nullopt;
        } else if (a == "--script") {
            if (!value(o.script)) return std::nullopt;
        } else if (a == "--echo") {
            o.echo = true;
        } else if (a == "--stop-on-error") {
            o.stop_on_error = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--insecure") {
            o.insecure = true;
        } else if (a == "--timeout" || a == "--poll" || a == "--connect-timeout") {
            if (!value(v)) return std::nullopt;
            double s;
            if (!to_seconds(v, s)) {
                error = std::string(a) + " needs a number of seconds, not '" + v + "'";
                return std::nullopt;
            }
            (a == "--timeout" ? o.timeout : a == "--poll" ? o.poll : o.connect_timeout) = s;
        } else if (a == "--kernel") {
            if (!value(o.kernel)) return std::nullopt;
        } else if (a == "--workbook-id") {
            if (!value(o.workbook_id)) return std::nullopt;
            if (o.workbook_id.empty() || sanitized_id(o.workbook_id) != o.workbook_id) {
                error = "--workbook-id takes letters, digits, '-', '_' and '.'";
                return std::nullopt;
            }
        } else if (a == "--log-level") {
            if (!value(o.log_level)) return std::nullopt;
            if (o.log_level != "DEBUG" && o.log_level != "INFO" && o.log_level != "WARNING" && o.log_level != "ERROR") {
                error = "--log-level is DEBUG, INFO, WARNING or ERROR";
                return std::nullopt;
            }
        } else if (a == "--kernel-log") {
            if (!value(o.kernel_log)) return std::nullopt;
        } else if (a == "--images") {
            if (!value(o.images)) return std::nullopt;
        } else if (a.starts_with("-") && a != "-") {
            error = "unknown option " + std::string(a);
            return std::nullopt;
        } else if (o.folder.empty()) {
            o.folder = a;
        } else {
            error = "only one FOLDER can be given";
            return std::nullopt;
        }
    }
    namespace fs = std::filesystem;
    if (!o.folder.empty()) {
        std::error_code ec;
        if (!fs::is_directory(o.folder, ec)) {
            error = "no folder " + o.folder;
            return std::nullopt;
        }
    }
    if (o.kernel.empty()) o.kernel = default_kernel_binary();
    if (o.workbook_id.empty()) {
        std::string name;
        if (!o.folder.empty()) name = fs::weakly_canonical(fs::absolute(o.folder)).filename().string();
        o.workbook_id = sanitized_id(name);
    }
    return o;
}

}  // namespace console
