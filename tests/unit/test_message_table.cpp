// The table of incoming kinds: every kind has exactly one handler, and the README's table of
// incoming kinds lists the same kinds on the same threads.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "kernel/message_table.hpp"

namespace {

using gridlet::find_route;
using gridlet::message_routes;
using gridlet::runs_name;

TEST(MessageTable, EveryKindHasOneHandlerAndIsFoundByName) {
    std::set<std::string> seen;
    for (const auto& r : message_routes()) {
        EXPECT_TRUE(seen.insert(std::string(r.kind)).second) << "listed twice: " << r.kind;
        EXPECT_NE(r.start == nullptr, r.apply == nullptr) << r.kind << " needs exactly one handler";
        if (r.apply)
            EXPECT_TRUE(r.runs == gridlet::Runs::control || r.runs == gridlet::Runs::worker)
                << r.kind << ": Python-side handlers run on the control thread or a worker";
        EXPECT_EQ(find_route(r.kind), &r);
    }
    EXPECT_EQ(find_route("chunk"), nullptr);  // reassembled before the lookup
    EXPECT_EQ(find_route("no_such_kind"), nullptr);
    EXPECT_EQ(find_route(""), nullptr);
}

// Kind -> "runs on" as the README's table of incoming kinds states it.
std::map<std::string, std::string> readme_table() {
    std::ifstream in(std::string(GRIDLET_SOURCE_DIR) + "/README.md");
    std::stringstream text;
    text << in.rdbuf();
    std::map<std::string, std::string> out;
    const std::string all = text.str();
    auto start = all.find("### Incoming kinds");
    if (start == std::string::npos) return out;
    std::istringstream lines(all.substr(start));
    std::string line;
    bool in_table = false;
    const std::regex kind(R"(`(\w+)`)");
    while (std::getline(lines, line)) {
        if (line.rfind("| type |", 0) == 0) {
            in_table = true;
            continue;
        }
        if (!in_table || line.rfind("|---", 0) == 0) continue;
        if (line.rfind("|", 0) != 0) break;
        // | kinds | runs on | fields | reply |
        auto c1 = line.find(" | ");
        auto c2 = line.find(" | ", c1 + 3);
        const std::string kinds = line.substr(1, c1 - 1);
        const std::string runs = line.substr(c1 + 3, c2 - c1 - 3);
        for (auto it = std::sregex_iterator(kinds.begin(), kinds.end(), kind); it != std::sregex_iterator(); ++it)
            out[(*it)[1]] = runs;
    }
    return out;
}

TEST(MessageTable, ReadmeListsTheSameKindsOnTheSameThreads) {
    auto readme = readme_table();
    ASSERT_FALSE(readme.empty()) << "README has no table of incoming kinds";
    std::map<std::string, std::string> code;
    for (const auto& r : message_routes()) code[std::string(r.kind)] = std::string(runs_name(r.runs));
    EXPECT_EQ(readme, code);
}

}  // namespace
