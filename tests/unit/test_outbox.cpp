#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "messaging/constants.hpp"
#include "messaging/outbox.hpp"
#include "util/utf8.hpp"
#include "ws_frames.hpp"

using namespace gridlet;

namespace {

// Client frames as a server sees them: FIN text frames, masked payloads.
std::vector<std::string> decode_frames(const std::string& wire) {
    bool headers_ok = true;
    auto frames = test_support::decode_client_frames(wire, &headers_ok);
    EXPECT_TRUE(headers_ok) << "every frame is a masked FIN text frame";
    return frames;
}

std::string message_of_chars(std::size_t chars, const std::string& filler = "x") {
    // {"type":"t","p":"xxx..."} with exactly `chars` characters
    std::string head = R"({"type":"t","request_id":"r","p":")";
    std::string body;
    std::size_t n = chars - head.size() - 2;
    for (std::size_t k = 0; k < n; ++k) body += filler;
    return head + body + "\"}";
}

std::vector<std::string> drain(Outbox& box) {
    std::string bytes;
    box.take(bytes);
    return decode_frames(bytes);
}

}  // namespace

TEST(Outbox, MessageAtChunkSizeIsOneFrameOneMoreIsTwoChunks) {
    Outbox box;
    box.open(nullptr);
    auto exact = message_of_chars(CHUNK_SIZE);
    box.post(exact, {"t", "\"r\""});
    auto frames = drain(box);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], exact);

    auto over = message_of_chars(CHUNK_SIZE + 1);
    box.post(over, {"t", "\"r\""});
    frames = drain(box);
    ASSERT_EQ(frames.size(), 2u);
    auto second = boost::json::parse(frames[1]).as_object();
    EXPECT_EQ(second.at("data").as_string().size(), 1u);
    EXPECT_EQ(second.at("chunk_index").as_int64(), 1);
    EXPECT_EQ(second.at("total_chunks").as_int64(), 2);
    EXPECT_EQ(second.at("original_type").as_string(), "t");
    EXPECT_EQ(second.at("request_id").as_string(), "r");
}

TEST(Outbox, ChunksCutBetweenCharactersAndJoinBackExactly) {
    Outbox box;
    box.open(nullptr);
    // 150000 characters, most of them two or three bytes long.
    auto text = message_of_chars(150000, "\xE2\x82\xAC");
    box.post(text, {"t", "\"r\""});
    auto frames = drain(box);
    ASSERT_EQ(frames.size(), 3u);
    std::string joined;
    std::vector<std::size_t> sizes;
    std::string id;
    for (auto& f : frames) {
        auto o = boost::json::parse(f).as_object();  // every piece is valid UTF-8 JSON
        std::string data(o.at("data").as_string());
        sizes.push_back(utf8::count_code_points(data));
        if (id.empty()) id = std::string(o.at("chunk_id").as_string());
        EXPECT_EQ(o.at("chunk_id").as_string(), id);
        joined += data;
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{65536, 65536, 18928}));
    EXPECT_EQ(joined, text);
    EXPECT_EQ(id.size(), 36u);
}

TEST(Outbox, ConcurrentPostersKeepEachChunkSequenceContiguous) {
    Outbox box;
    box.open(nullptr);
    const auto big = message_of_chars(3 * CHUNK_SIZE);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int k = 0; k < 5; ++k) {
                box.post(big, {"t", "\"r\""});
                box.post(R"({"type":"small"})", {"small", {}});
            }
        });
    for (auto& t : threads) t.join();
    auto frames = drain(box);
    ASSERT_EQ(frames.size(), 4u * 5u * (3u + 1u));
    for (std::size_t i = 0; i < frames.size();) {
        auto o = boost::json::parse(frames[i]).as_object();
        if (o.at("type") == "small") {
            ++i;
            continue;
        }
        ASSERT_EQ(o.at("chunk_index").as_int64(), 0);
        auto id = o.at("chunk_id").as_string();
        for (int k = 1; k < 3; ++k) {
            auto next = boost::json::parse(frames[i + k]).as_object();
            EXPECT_EQ(next.at("chunk_id").as_string(), id);
            EXPECT_EQ(next.at("chunk_index").as_int64(), k);
        }
        i += 3;
    }
}

TEST(Outbox, WrittenSequenceAndClosedBoxReleaseWaiters) {
    Outbox box;
    int kicks = 0;
    box.open([&] { ++kicks; });
    auto s1 = box.post(R"({"type":"a"})", {"a", {}});
    auto s2 = box.post(R"({"type":"b"})", {"b", {}});
    EXPECT_EQ(kicks, 1) << "one drain is scheduled for any number of posts";
    EXPECT_LT(s1, s2);
    std::string bytes;
    auto upto = box.take(bytes);
    EXPECT_EQ(upto, s2);
    EXPECT_FALSE(box.wait_written(s2, std::chrono::milliseconds(10)));
    box.mark_written(upto);
    EXPECT_TRUE(box.wait_written(s1, std::chrono::milliseconds(10)));
    auto s3 = box.post(R"({"type":"c"})", {"c", {}});
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        box.close();
    });
    EXPECT_FALSE(box.wait_written(s3, std::chrono::seconds(5)));
    closer.join();
    EXPECT_EQ(box.post(R"({"type":"d"})", {"d", {}}), 0u) << "a closed box drops messages";
}

TEST(Outbox, ProducersWaitForRoomAboveTheHighWaterMark) {
    Outbox box;
    box.open(nullptr);
    std::string big(OUTBOX_HIGH_WATER / 4, 'x');
    std::string msg = "{\"type\":\"t\",\"p\":\"" + big + "\"}";
    for (int i = 0; i < 5; ++i) box.post(msg, {"t", {}});
    EXPECT_TRUE(box.over_high_water());
    std::atomic<bool> released{false};
    std::thread producer([&] {
        box.wait_for_room();
        released = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(released);
    std::string bytes;
    box.take(bytes);
    producer.join();
    EXPECT_TRUE(released);
    EXPECT_FALSE(box.over_high_water());
}

TEST(Outbox, LongMessagesLinkedWhileFramedStayWholeContiguousAndInOrder) {
    // Producers post long messages (framed and linked piece by piece, paced by the high-water
    // mark) and small ones; a listener thread drains meanwhile. Every chunk sequence must arrive
    // whole and uninterrupted, every producer's messages in its own order.
    Outbox box;
    std::mutex m;
    std::condition_variable cv;
    bool kicked = false;
    box.open([&] {
        std::lock_guard lock(m);
        kicked = true;
        cv.notify_one();
    });
    constexpr int kProducers = 3, kEach = 4;
    std::vector<std::string> long_texts;
    for (int p = 0; p < kProducers; ++p) {
        std::string body;
        for (int i = 0; i < 600000; ++i) body += i % 5 ? "ab" : "\xE2\x82\xAC\\\"";
        long_texts.push_back(R"({"type":"long","p":)" + std::to_string(p) + R"(,"b":")" + body + "\"}");
    }
    std::atomic<int> done{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            const std::string& text = long_texts[p];
            const std::size_t cut = text.size() / 3;
            for (int k = 0; k < kEach; ++k) {
                std::string small =
                    R"({"type":"small","p":)" + std::to_string(p) + R"(,"k":)" + std::to_string(k) + "}";
                box.post_all({{small, {"small", {}}},
                              {{std::string_view(text).substr(0, cut), std::string_view(text).substr(cut), ""},
                               {"long", "\"r\""}}},
                             nullptr, {true, nullptr});
            }
            ++done;
        });
    }
    std::string wire;
    std::vector<std::string> buffers;
    for (;;) {
        {
            std::unique_lock lock(m);
            cv.wait_for(lock, std::chrono::milliseconds(2), [&] { return kicked; });
            kicked = false;
        }
        auto seq = box.take(buffers);
        for (const auto& b : buffers) wire += b;
        box.mark_written(seq);
        if (done == kProducers && box.pending_bytes() == 0) {
            box.take(buffers);
            for (const auto& b : buffers) wire += b;
            if (buffers.empty()) break;
        }
    }
    for (auto& t : producers) t.join();

    auto frames = decode_frames(wire);
    std::vector<int> next_small(kProducers, 0), longs(kProducers, 0);
    std::string open_id, joined;
    for (const auto& f : frames) {
        auto o = boost::json::parse(f).as_object();
        if (o.at("type") == "chunk") {
            auto id = std::string(o.at("chunk_id").as_string());
            if (o.at("chunk_index").as_int64() == 0) {
                ASSERT_TRUE(open_id.empty()) << "a sequence started inside another";
                open_id = id;
                joined.clear();
            }
            ASSERT_EQ(id, open_id);
            joined += o.at("data").as_string();
            if (o.at("chunk_index").as_int64() + 1 == o.at("total_chunks").as_int64()) {
                auto msg = boost::json::parse(joined).as_object();
                int p = int(msg.at("p").as_int64());
                EXPECT_EQ(joined, long_texts[p]);
                // Each long message follows its producer's small one of the same round.
                EXPECT_EQ(longs[p] + 1, next_small[p]);
                ++longs[p];
                open_id.clear();
            }
            continue;
        }
        ASSERT_TRUE(open_id.empty()) << "a message inside a chunk sequence";
        int p = int(o.at("p").as_int64());
        EXPECT_EQ(o.at("k").as_int64(), next_small[p]);
        EXPECT_EQ(longs[p], next_small[p]);
        ++next_small[p];
    }
    for (int p = 0; p < kProducers; ++p) {
        EXPECT_EQ(next_small[p], kEach);
        EXPECT_EQ(longs[p], kEach);
    }
}
