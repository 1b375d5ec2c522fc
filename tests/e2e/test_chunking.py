"""Long messages as chunk sequences, both directions."""

import json
import re
import uuid

import pytest

from calls import send_module
from conftest import CHUNK_SIZE, compact, rid

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def _len_request(request_id, filler):
    return {"type": "execution_request", "request_id": request_id,
            "function_name": "chunked", "code": "len('" + filler + "')"}


def _result(kernel, request_id, timeout=10):
    msgs = kernel.collect_for(request_id, ("execution_result", "execution_error"),
                              timeout=timeout)
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    return msgs[-1]["result"]


# ------------------------------------------------------------------ incoming

def test_incoming_chunks_in_order(kernel):
    r = rid("in")
    kernel.send_chunks(_len_request(r, "x" * 150000))
    assert _result(kernel, r) == 150000


def test_incoming_chunks_in_reverse_order(kernel):
    r = rid("rev")
    msg = _len_request(r, "y" * 200000)
    n = -(-len(compact(msg)) // CHUNK_SIZE)
    kernel.send_chunks(msg, order=list(reversed(range(n))))
    assert _result(kernel, r) == 200000


def test_duplicated_pieces_are_ignored_and_answered_once(kernel):
    r = rid("dup")
    kernel.send_chunks(_len_request(r, "z" * 150000), order=[0, 0, 2, 1, 1, 2])
    assert _result(kernel, r) == 150000
    kernel.ping()
    assert kernel.quiet(r, 0.2) == []


def test_repeated_piece_does_not_complete_a_two_piece_message(kernel):
    r = rid("twice")
    msg = _len_request(r, "w" * 70000)
    cid = kernel.send_chunks(msg, order=[0, 0])
    kernel.ping()
    assert kernel.quiet(r, 0.2) == []
    kernel.send_chunks(msg, order=[1], chunk_id=cid)
    assert _result(kernel, r) == 70000


def test_chunk_sequences_interleave_with_each_other_and_whole_messages(kernel):
    a, b, c = rid("ia"), rid("ib"), rid("ic")
    ma, mb = _len_request(a, "a" * 100000), _len_request(b, "b" * 100000)
    ca = kernel.send_chunks(ma, order=[0])
    cb = kernel.send_chunks(mb, order=[1])
    kernel.send({"type": "execution_request", "request_id": c, "code": "3", "function_name": "f"})
    assert _result(kernel, c) == 3
    kernel.send_chunks(ma, order=[1], chunk_id=ca)
    kernel.send_chunks(mb, order=[0], chunk_id=cb)
    assert _result(kernel, a) == 100000
    assert _result(kernel, b) == 100000


def test_single_piece_message_is_dispatched_at_once(kernel):
    r = rid("one")
    kernel.send_chunks(_len_request(r, "q" * 10))
    assert _result(kernel, r) == 10


def test_small_pieces_cut_between_non_ascii_characters(kernel):
    r = rid("nonascii")
    content = ("\u00e9\u20ac\U0001F600\u4e2d" * 1500) + "\U0001F680"
    msg = {"type": "execution_request", "request_id": r, "function_name": "echo",
           "code": "'" + content + "'"}
    kernel.send_chunks(msg, size=997)
    assert _result(kernel, r) == content


def test_reassembled_message_may_itself_exceed_the_frame_limit(kernel):
    r = rid("bigchunked")
    kernel.send_chunks(_len_request(r, "L" * 1200000))
    assert _result(kernel, r, timeout=15) == 1200000


def _bad_chunk(kernel, chunk, log_text):
    mark = kernel.log_mark()
    kernel.send(chunk)
    kernel.wait_log(log_text, since=mark)
    kernel.ping()


def test_chunk_index_out_of_bounds_is_rejected(kernel):
    cid = str(uuid.uuid4())
    piece = {"type": "chunk", "chunk_id": cid, "total_chunks": 2, "data": "{}"}
    _bad_chunk(kernel, {**piece, "chunk_index": 2}, "Invalid chunk_index 2 for total_chunks 2")
    _bad_chunk(kernel, {**piece, "chunk_index": -1}, "Invalid chunk_index -1 for total_chunks 2")


@pytest.mark.parametrize("fields", [
    {"chunk_index": "0", "total_chunks": 2},
    {"chunk_index": 0.5, "total_chunks": 2},
    {"chunk_index": 0, "total_chunks": "2"},
    {"chunk_index": 0, "total_chunks": 1e30},
], ids=["index-text", "index-fraction", "total-text", "total-float"])
def test_non_integer_chunk_fields_are_rejected(kernel, fields):
    _bad_chunk(kernel, {"type": "chunk", "chunk_id": str(uuid.uuid4()), "data": "{}", **fields},
               "chunk_index and total_chunks must be integers")


@pytest.mark.parametrize("drop", ["chunk_id", "chunk_index", "total_chunks"])
def test_missing_chunk_fields_are_rejected(kernel, drop):
    chunk = {"type": "chunk", "chunk_id": str(uuid.uuid4()), "chunk_index": 0,
             "total_chunks": 1, "data": '{"type": "execution_request", "code": "1"}'}
    del chunk[drop]
    _bad_chunk(kernel, chunk, "Invalid chunk message: missing required fields")
    chunk[drop] = None
    kernel.send(chunk)
    kernel.ping()


@pytest.mark.parametrize("total", [10**9, 2**31 - 1, 2**62, 10**19, 10**40])
def test_huge_total_chunks_does_not_allocate_or_crash(kernel, total):
    r = rid("hugetotal")
    for index in (0, 1, total - 1):
        kernel.send({"type": "chunk", "chunk_id": str(uuid.uuid4()), "chunk_index": index,
                     "total_chunks": total,
                     "data": compact({"type": "execution_request", "request_id": r, "code": "1"})})
    kernel.ping()
    assert kernel.quiet(r, 0.1) == []
    assert kernel.proc.poll() is None


def test_many_incomplete_messages_are_survived(kernel):
    for i in range(300):
        kernel.send({"type": "chunk", "chunk_id": f"incomplete-{i}", "chunk_index": 0,
                     "total_chunks": 10**9, "data": "x" * 1000})
    kernel.ping()


def test_piece_beyond_slots_fixed_by_first_piece_is_survived(kernel):
    r = rid("slots")
    cid = str(uuid.uuid4())
    kernel.send({"type": "chunk", "chunk_id": cid, "chunk_index": 0, "total_chunks": 2,
                 "data": '{"type":"execution_request","request_id":"' + r + '","code":"1"'})
    kernel.send({"type": "chunk", "chunk_id": cid, "chunk_index": 4, "total_chunks": 5,
                 "data": "}"})
    kernel.ping()
    kernel.send({"type": "chunk", "chunk_id": cid, "chunk_index": 1, "total_chunks": 2,
                 "data": ',"function_name":"f"}'})
    assert _result(kernel, r) == 1


@pytest.mark.parametrize("data", [None, 5, ["x"]], ids=["null", "number", "list"])
def test_piece_with_non_text_data_never_dispatches(kernel, data):
    r = rid("nulldata")
    cid = str(uuid.uuid4())
    kernel.send({"type": "chunk", "chunk_id": cid, "chunk_index": 0, "total_chunks": 2,
                 "data": '{"type":"execution_request","request_id":"' + r + '",'})
    kernel.send({"type": "chunk", "chunk_id": cid, "chunk_index": 1, "total_chunks": 2,
                 "data": data})
    kernel.ping()
    assert kernel.quiet(r, 0.1) == []


def test_reassembled_chunk_message_is_rejected(kernel):
    inner = {"type": "chunk", "chunk_id": "inner", "chunk_index": 0, "total_chunks": 1,
             "data": '{"type":"execution_request","code":"1"}'}
    cid = kernel.send_chunks(inner)
    kernel.wait_log(f"Nested chunk message detected for chunk_id {cid}")
    kernel.ping()


def test_reassembled_invalid_json_is_rejected(kernel):
    mark = kernel.log_mark()
    kernel.send_chunks('{"type": "execution_request", "code": ', size=10)
    kernel.wait_log("Failed to parse reassembled message", since=mark)
    kernel.ping()


def test_reassembled_non_object_is_answered_with_error(kernel):
    kernel.drain()
    kernel.send_chunks("[1, 2, 3]", size=4)
    err = kernel.recv_until(lambda m: m.get("type") == "error")
    assert err["message"]
    kernel.ping()


# ------------------------------------------------------------------ outgoing

def _stdout_message_of_length(kernel, request_id, target, ch, source="ide"):
    """Code that writes one text so that its stdout message has exactly `target`
    characters of compact JSON; returns (code, expected message)."""
    def expected(n):
        return {"type": "stdout", "content": ch * n, "request_id": request_id,
                "workbook_id": kernel.workbook_id, "source": source}
    n = target - len(compact(expected(0)))
    assert len(compact(expected(n))) == target
    return f"print({ch!r} * {n}, end='')", expected(n)


def _run_and_get_stream(kernel, code, request_id):
    kernel.send({"type": "execution_request", "request_id": request_id, "code": code})
    envs = kernel.collect_for(request_id, timeout=10, with_frames=True)
    assert envs[-1].msg["type"] == "execution_result", envs[-1].msg
    streams = [e for e in envs if e.msg["type"] == "stdout"]
    assert len(streams) == 1
    return streams[0]


@pytest.mark.parametrize("ch", ["a", "\u00e9", "\U0001F600"], ids=["ascii", "latin", "emoji"])
def test_outgoing_message_of_exactly_chunk_size_is_one_frame(kernel, ch):
    r = rid("out64k")
    code, expected = _stdout_message_of_length(kernel, r, CHUNK_SIZE, ch)
    env = _run_and_get_stream(kernel, code, r)
    assert env.msg == expected
    assert len(env.frames) == 1
    assert len(env.frames[0]) == CHUNK_SIZE


@pytest.mark.parametrize("ch", ["a", "\u00e9", "\U0001F600"], ids=["ascii", "latin", "emoji"])
def test_outgoing_message_one_over_chunk_size_is_two_chunks(kernel, ch):
    r = rid("out64k1")
    code, expected = _stdout_message_of_length(kernel, r, CHUNK_SIZE + 1, ch)
    env = _run_and_get_stream(kernel, code, r)
    assert env.msg == expected
    chunks = [json.loads(f) for f in env.frames]
    assert [c["type"] for c in chunks] == ["chunk", "chunk"]
    assert [c["chunk_index"] for c in chunks] == [0, 1]
    assert {c["total_chunks"] for c in chunks} == {2}
    assert [len(c["data"]) for c in chunks] == [CHUNK_SIZE, 1]
    assert len({c["chunk_id"] for c in chunks}) == 1 and UUID4.match(chunks[0]["chunk_id"])
    assert {c["original_type"] for c in chunks} == {"stdout"}
    assert {c["request_id"] for c in chunks} == {r}
    assert len("".join(c["data"] for c in chunks)) == CHUNK_SIZE + 1


@pytest.mark.parametrize("ch", ["a", "\u20ac", "\U0001F600"], ids=["ascii", "euro", "emoji"])
def test_outgoing_150000_characters_are_three_chunks_cut_by_code_points(kernel, ch):
    r = rid("out150k")
    code, expected = _stdout_message_of_length(kernel, r, 150000, ch)
    env = _run_and_get_stream(kernel, code, r)
    chunks = [json.loads(f) for f in env.frames]
    assert [len(c["data"]) for c in chunks] == [65536, 65536, 18928]
    joined = "".join(c["data"] for c in chunks)
    assert json.loads(joined) == expected
    assert len(joined) == 150000


def test_chunked_reply_follows_its_streams_and_each_sequence_is_contiguous(kernel):
    r = rid("bigreply")
    code = "print('before'); list(range(25000))"
    kernel.send({"type": "execution_request", "request_id": r, "code": code,
                 "function_name": "big"})
    envs = kernel.collect_for(r, timeout=10, with_frames=True)
    types = [e.msg["type"] for e in envs]
    assert types == ["stdout", "stdout", "result_output", "execution_result"]
    assert envs[-1].msg["result"] == list(range(25000))
    assert envs[2].msg["content"] == "Out: " + repr(list(range(25000))) + "\n"
    assert len(envs[2].frames) > 1 and len(envs[3].frames) > 1
    assert not kernel.violations


def test_chunk_sequences_are_not_interleaved_with_concurrent_output(kernel):
    big, small = rid("bigout"), rid("smallout")
    kernel.send({"type": "execution_request", "request_id": big,
                 "code": "for i in range(6):\n    print(str(i) * 100000)"})
    kernel.send({"type": "execution_request", "request_id": small,
                 "code": "for i in range(400):\n    print('s', i)"})
    out_big = kernel.collect_for(big, timeout=15)
    out_small = kernel.collect_for(small, timeout=15)
    assert out_big[-1]["type"] == out_small[-1]["type"] == "execution_result"
    assert "".join(m["content"] for m in out_big if m["type"] == "stdout") == "".join(
        str(i) * 100000 + "\n" for i in range(6))
    assert len([m for m in out_small if m["type"] == "stdout"]) == 400 * 4
    assert not kernel.violations


def test_very_long_single_write_is_chunked_and_complete(kernel):
    r = rid("fivemb")
    msgs = kernel.execute("print('\u20ac' * 5000000, end='')", request_id=r, timeout=20)
    assert [m["content"] for m in msgs if m["type"] == "stdout"] == ["\u20ac" * 5000000]
    assert not kernel.violations


def test_sixteen_megabyte_non_ascii_result_reassembles_exactly_in_every_reply(kernel):
    # Characters of one to four bytes, a quote, a backslash and a control character, repeated
    # so that every kind lands on chunk cuts of all three replies.
    send_module(kernel, "bigtext", '''
        def text(n):
            unit = "a\\u00e9\\u20ac\\U0001F600\\"\\\\\\x01z"
            return (unit * (n // len(unit) + 1))[:n]
    ''')
    n = 16 * 1024 * 1024
    unit = "a\u00e9\u20ac\U0001F600\"\\\x01z"
    expected = (unit * (n // len(unit) + 1))[:n]
    r = rid("bigtext")
    kernel.send({"type": "custom_function_call", "module_name": "bigtext", "function_name": "text",
                 "args": [n], "request_id": r})
    envs = kernel.collect_for(r, "function_execution_result", timeout=60, with_frames=True)
    by_type = {e.msg["type"]: e for e in envs}
    assert by_type["execution_result"].msg["result"] == expected
    assert by_type["function_execution_result"].msg["result"] == expected
    assert by_type["result_output"].msg["content"] == "Out: " + repr(expected) + "\n"
    for e in by_type.values():
        assert len(e.frames) > 256
    assert not kernel.violations
