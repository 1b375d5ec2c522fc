#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/json.hpp>

#include "messaging/batcher.hpp"

using namespace gridlet;

namespace {

struct Sent {
    std::vector<std::string> messages;
    MessageBatcher::Send sender() {
        return [this](std::string_view json) { messages.emplace_back(json); };
    }
};

void run_for(boost::asio::io_context& io, std::chrono::milliseconds d) {
    io.restart();
    io.run_for(d);
}

}  // namespace

TEST(MessageBatcher, IdleBatcherSendsNothing) {
    boost::asio::io_context io;
    Sent sent;
    MessageBatcher b(io, sent.sender());
    b.start();
    run_for(io, std::chrono::milliseconds(30));
    b.stop();
    EXPECT_TRUE(sent.messages.empty());
}

TEST(MessageBatcher, OneMessageGoesUnchangedSeveralAsOneBatchInOrder) {
    boost::asio::io_context io;
    Sent sent;
    MessageBatcher b(io, sent.sender());
    b.start();
    b.enqueue(R"({"type":"a"})");
    run_for(io, std::chrono::milliseconds(40));
    ASSERT_EQ(sent.messages.size(), 1u);
    EXPECT_EQ(sent.messages[0], R"({"type":"a"})");

    b.enqueue(R"({"type":"1"})");
    b.enqueue(R"({"type":"2"})");
    b.enqueue(R"({"type":"3"})");
    run_for(io, std::chrono::milliseconds(40));
    ASSERT_EQ(sent.messages.size(), 2u);
    auto batch = boost::json::parse(sent.messages[1]).as_object();
    EXPECT_EQ(batch.at("type"), "batch");
    const auto& inner = batch.at("messages").as_array();
    ASSERT_EQ(inner.size(), 3u);
    EXPECT_EQ(inner[0].at("type"), "1");
    EXPECT_EQ(inner[2].at("type"), "3");
}

TEST(MessageBatcher, StopFlushesWhatIsStillQueued) {
    boost::asio::io_context io;
    Sent sent;
    MessageBatcher b(io, sent.sender());
    b.start();
    b.enqueue(R"({"type":"late"})");
    b.stop();  // before the flush interval has passed
    ASSERT_EQ(sent.messages.size(), 1u);
    EXPECT_EQ(sent.messages[0], R"({"type":"late"})");
    run_for(io, std::chrono::milliseconds(30));
    EXPECT_EQ(sent.messages.size(), 1u) << "nothing is sent twice";
}
