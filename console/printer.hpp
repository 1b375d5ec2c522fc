// Serialised writes to the console's stdout and stderr, shared by the main and io threads.
#pragma once

#include <mutex>
#include <string_view>

namespace console {

class Printer {
public:
    void out(std::string_view text);
    void err(std::string_view text);

private:
    std::mutex mutex_;
};

}  // namespace console
