"""stdout/stderr streaming: one message per write, per-run routing, hooks outside runs."""

import pytest

from conftest import rid


def _contents(msgs, kind="stdout"):
    return [m["content"] for m in msgs if m["type"] == kind]


def test_each_write_is_one_message_in_order(kernel):
    r = rid()
    msgs = kernel.execute("print('a', 'b')", request_id=r, source="addin")
    assert _contents(msgs) == ["a", " ", "b", "\n"]
    assert msgs[0] == {"type": "stdout", "content": "a", "request_id": r,
                       "workbook_id": "wb-shared", "source": "addin"}


def test_stderr_writes_carry_the_run_fields(kernel):
    r = rid()
    msgs = kernel.execute("import sys; print('to-err', file=sys.stderr)", request_id=r)
    errs = [m for m in msgs if m["type"] == "stderr"]
    assert [m["content"] for m in errs] == ["to-err", "\n"]
    assert all(m["request_id"] == r and m["source"] == "ide"
               and m["workbook_id"] == "wb-shared" for m in errs)
    assert _contents(msgs) == []


def test_empty_write_sends_nothing(kernel):
    msgs = kernel.execute("import sys; sys.stdout.write('')", function_name="w")
    assert [m["type"] for m in msgs] == ["result_output", "execution_result"]
    assert msgs[0]["content"] == "Out: 0\n" and msgs[1]["result"] == 0


def test_run_streams_are_text_streams(kernel):
    assert kernel.evaluate("import io, sys; (isinstance(sys.stdout, io.TextIOBase), "
                           "isinstance(sys.stderr, io.TextIOBase), sys.stdout.writable(), "
                           "sys.stdout.readable())") == [True, True, True, False]


def test_print_flood_arrives_complete_and_before_the_reply(kernel):
    r = rid("flood")
    msgs = kernel.execute("for i in range(3000):\n    print(i)", request_id=r, timeout=30)
    assert msgs[-1]["type"] == "execution_result"
    assert "".join(_contents(msgs)) == "".join(f"{i}\n" for i in range(3000))
    assert kernel.quiet(r, 0.3) == []


def test_overlapping_runs_keep_their_output_apart(kernel):
    assert kernel.execute("import threading; gridlet._e2e_ov = threading.Barrier(2, timeout=8)"
                          )[-1]["type"] == "execution_result"
    code = ("import sys\n"
            "for i in range(5):\n"
            "    print('{L}%d' % i)\n"
            "    print('{L}-err%d' % i, file=sys.stderr)\n"
            "    gridlet._e2e_ov.wait()\n")
    a, b = rid("A"), rid("B")
    kernel.send({"type": "execution_request", "request_id": a, "code": code.format(L="ovA")})
    kernel.send({"type": "execution_request", "request_id": b, "code": code.format(L="ovB"),
                 "source": "addin"})
    out_a = kernel.collect_for(a, timeout=15)
    out_b = kernel.collect_for(b, timeout=15)
    for out, letter, source in ((out_a, "ovA", "ide"), (out_b, "ovB", "addin")):
        assert out[-1]["type"] == "execution_result", out[-1]
        assert "".join(_contents(out)) == "".join(f"{letter}{i}\n" for i in range(5))
        assert "".join(_contents(out, "stderr")) == "".join(
            f"{letter}-err{i}\n" for i in range(5))
        assert all(m["source"] == source for m in out)
    # No write of either run leaked out as a message without the run's id.
    leaked = [m for m in kernel.all_messages if m["type"] in ("stdout", "stderr")
              and m.get("request_id") not in (a, b) and m["content"].startswith("ov")]
    assert leaked == []


def test_streams_are_the_hooks_outside_runs_and_reach_the_console(kernel):
    code = ("import threading\n"
            "def _later():\n"
            "    import sys, time\n"
            "    time.sleep(0.3)\n"
            "    gridlet._e2e_hook = type(sys.stdout).__name__\n"
            "    print('hook-marker-41')\n"
            "    print('hook-err-41', file=sys.stderr)\n"
            "threading.Thread(target=_later).start()\n")
    r = rid()
    assert kernel.execute(code, request_id=r)[-1]["type"] == "execution_result"
    out = kernel.recv_until(lambda m: m.get("type") == "stdout"
                            and m.get("content") == "hook-marker-41")
    err = kernel.recv_until(lambda m: m.get("type") == "stderr"
                            and m.get("content") == "hook-err-41")
    for m in (out, err):
        assert m.get("request_id") is None
        assert m["workbook_id"] == "wb-shared"
    assert kernel.evaluate("gridlet._e2e_hook") == "KernelStreamHook"
    assert "hook-marker-41" in kernel.console_text()
    assert "hook-err-41" in kernel.log_text()


def test_thread_output_after_its_run_never_carries_the_run_id(kernel):
    code = ("import threading\n"
            "def _late_writer():\n"
            "    import time\n"
            "    time.sleep(0.3)\n"
            "    print('after-run-77')\n"
            "threading.Thread(target=_late_writer).start()\n")
    r = rid()
    assert kernel.execute(code, request_id=r)[-1]["type"] == "execution_result"
    late = kernel.recv_until(lambda m: m.get("content") == "after-run-77")
    assert late["type"] == "stdout" and late.get("request_id") is None


def test_user_replacing_sys_stdout_does_not_silence_later_runs(kernel_factory):
    # Own kernel: a failure here would silence every later test of the module.
    bl = kernel_factory.start(workbook_id="wb-replace")
    assert bl.execute("import sys, io; sys.stdout = io.StringIO(); sys.stderr = io.StringIO()"
                      )[-1]["type"] == "execution_result"
    msgs = bl.execute("import sys; print('still-visible'); print('err-visible', file=sys.stderr)")
    assert [m["content"] for m in msgs if m["type"] == "stdout"] == ["still-visible", "\n"]
    assert [m["content"] for m in msgs if m["type"] == "stderr"] == ["err-visible", "\n"]
    code = ("import threading\n"
            "def _probe():\n"
            "    import sys, time\n"
            "    time.sleep(0.3)\n"
            "    gridlet._e2e_types = [type(sys.stdout).__name__, type(sys.stderr).__name__]\n"
            "t = threading.Thread(target=_probe)\n")
    assert bl.execute(code)[-1]["type"] == "execution_result"
    assert bl.execute("t.start()")[-1]["type"] == "execution_result"
    assert bl.evaluate("t.join(5) or gridlet._e2e_types") == ["KernelStreamHook",
                                                              "KernelStreamHook"]
    kernel_factory.finish(bl)


def test_redirect_inside_user_code_captures_locally(kernel):
    code = ("import contextlib, io\n"
            "buf = io.StringIO()\n"
            "with contextlib.redirect_stdout(buf):\n"
            "    print('inner-only')\n"
            "print('outer')\n"
            "gridlet._e2e_buf = buf.getvalue()\n")
    msgs = kernel.execute(code)
    assert [m["content"] for m in msgs if m["type"] == "stdout"] == ["outer", "\n"]
    assert kernel.evaluate("gridlet._e2e_buf") == "inner-only\n"


def test_writing_a_non_text_value_is_a_type_error(kernel):
    msgs = kernel.execute("import sys; sys.stdout.write(123)")
    assert msgs[-1]["type"] == "execution_error"
    assert msgs[-1]["error"]["type"] == "TypeError"


def test_reading_stdin_fails_instead_of_hanging(kernel):
    msgs = kernel.execute("input()", timeout=5)
    assert msgs[-1]["type"] == "execution_error"
