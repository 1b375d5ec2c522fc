// Incoming frames as the listener handles them: the size check by code points (counted in the
// pieces the socket delivers), JSON decoding, and the routing-independent parts of dispatch:
// chunk reassembly with the re-parse of a completed message, the field readers, and the error
// replies built from what arrived. Several frames may come in one input, separated by 0xFF (a
// byte that never occurs in UTF-8 text), so chunk sequences complete across frames.
#include <boost/json.hpp>

#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "messaging/chunk_assembler.hpp"
#include "messaging/constants.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_parse.hpp"
#include "messaging/json_text.hpp"
#include "util/log.hpp"
#include "util/utf8.hpp"

using namespace gridlet;

namespace {

std::string_view type_of(const boost::json::object& m) {
    const auto* t = m.if_contains("type");
    return t && t->is_string() ? std::string_view(t->get_string()) : std::string_view();
}

// What the writer sends must parse back to the same value.
void check_written(const boost::json::value& v) {
    std::string text = json_text::serialize(v);
    boost::system::error_code ec;
    boost::json::value back = json_parse::parse(text, ec);
    fuzz::check(!ec, "the writer's own text does not parse");
    fuzz::check(fuzz::same_json(back, fuzz::as_sent(v)), "written JSON does not parse back to the same value");
    fuzz::check(text.find_first_of("\n\r\t") == std::string::npos, "written JSON holds raw whitespace");
}

void read_fields(const boost::json::object& m) {
    for (std::string_view key : {"type", "request_id", "code", "module_name", "function_name", "source"}) {
        const auto* v = m.if_contains(key);
        for (bool null_ok : {false, true}) {
            try {
                auto t = fields::text(m, key, std::string("fallback"), null_ok);
                if (!v) fuzz::check(t && *t == "fallback", "absent field did not give the default");
                else if (v->is_string()) fuzz::check(t && *t == v->get_string(), "text field changed");
                else fuzz::check(v->is_null() && null_ok && !t, "wrong-typed field was accepted");
            } catch (const fields::FieldError&) {
                fuzz::check(v && !v->is_string() && !(v->is_null() && null_ok), "good field refused");
            }
        }
        std::string echoed = fields::echo(m, key);
        boost::system::error_code ec;
        boost::json::value back = json_parse::parse(echoed, ec);
        fuzz::check(!ec, "echoed field is not JSON");
        fuzz::check(fuzz::same_json(back, v ? fuzz::as_sent(*v) : boost::json::value(nullptr)), "echoed field differs");
        (void)fields::display(m, key);
    }
}

// The error reply the listener sends for a refused message.
void error_reply(const boost::json::object& m) {
    boost::json::object reply{{"type", "error"}, {"message", "Field 'code' must be a string"}};
    const auto* t = m.if_contains("type");
    reply["original_type"] = t ? *t : boost::json::value(nullptr);
    if (const auto* r = m.if_contains("request_id")) reply["request_id"] = *r;
    check_written(reply);
}

void handle(ChunkAssembler& chunks, boost::json::value&& value, int depth) {
    fuzz::check(depth < 2, "a reassembled message was itself reassembled");
    check_written(value);
    if (!value.is_object()) return;
    auto& m = value.get_object();
    if (type_of(m) == "chunk") {
        std::size_t before = chunks.buffered_bytes();
        auto done = chunks.add(m);
        fuzz::check(chunks.buffered_bytes() <= MAX_CHUNK_BUFFER_BYTES, "chunk buffers past their bound");
        if (done) fuzz::check(chunks.buffered_bytes() <= before, "a completed message left bytes buffered");
        if (!done || done->ec) return;
        boost::json::value whole = std::move(done->value);
        if (whole.is_object() && type_of(whole.get_object()) == "chunk") return;  // never nested
        handle(chunks, std::move(whole), depth + 1);
        return;
    }
    read_fields(m);
    error_reply(m);
}

void one_frame(ChunkAssembler& chunks, std::string_view frame, unsigned read_size) {
    // The socket hands the frame over in reads of any size, cutting characters anywhere.
    std::size_t characters = 0;
    for (std::size_t at = 0; at < frame.size(); at += read_size)
        characters += utf8::count_code_points(frame.substr(at, read_size));
    fuzz::check(characters == utf8::count_code_points(frame), "code points depend on how the frame was read");
    if (characters > MAX_MESSAGE_SIZE) return;  // refused unread
    for (std::size_t k : {std::size_t(0), characters / 2, characters}) {
        std::size_t off = utf8::offset_of_code_point(frame, k);
        fuzz::check(utf8::count_code_points(frame.substr(0, off)) == k || k == characters,
                    "offset_of_code_point is not the start of that code point");
    }
    boost::system::error_code ec;
    boost::json::value v = json_parse::parse(frame, ec);
    if (ec) return;
    handle(chunks, std::move(v), 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log::get().set_level(spdlog::level::off);  // every refused piece logs a line
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned read_size = 1 + data[0] % 17;
    std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
    ChunkAssembler chunks;
    for (;;) {
        std::size_t cut = all.find('\xFF');
        one_frame(chunks, all.substr(0, cut), read_size);
        if (cut == std::string_view::npos) break;
        all.remove_prefix(cut + 1);
    }
    return 0;
}
