"""Python's large blocks (whole huge pages, reused after they are freed) keep their contents."""

from calls import call_function, send_module
from conftest import rid

CHURN = '''
import hashlib

def churn(rounds):
    seen = []
    for k in range(rounds):
        # A block that held text is handed out again: calloc must still give zeros.
        filler = bytes([65 + k]) * (9 << 20)
        del filler
        zeros = bytes(7 << 20)
        assert zeros.count(0) == len(zeros), "calloc gave a block that is not zero"
        # Growing past the threshold moves a small block into a large one; growing and
        # shrinking a large one keeps every byte.
        b = bytearray(b"x" * 1000)
        b += bytes(range(256)) * (24 << 10)
        b += b"y" * (5 << 20)
        head = hashlib.sha256(b).hexdigest()
        del b[4096:]
        b.extend(b"z" * (9 << 20))
        # A long list's item array, grown item by item, then emptied.
        items = list(range(600_000))
        items.extend(range(600_000))
        total = sum(items)
        del items[10:]
        seen.append((head, hashlib.sha256(b).hexdigest(), total, items, len(b)))
        del b
    return seen
'''


def test_large_python_blocks_keep_contents_through_growth_shrinking_and_reuse(kernel):
    send_module(kernel, "churn", CHURN)
    import hashlib
    b = bytearray(b"x" * 1000) + bytes(range(256)) * (24 << 10) + b"y" * (5 << 20)
    head = hashlib.sha256(b).hexdigest()
    b = b[:4096] + b"z" * (9 << 20)
    expected = [head, hashlib.sha256(b).hexdigest(), 2 * sum(range(600_000)), list(range(10)), len(b)]
    # Twice: the second call runs on blocks the first one freed.
    for _ in range(2):
        msgs = call_function(kernel, "churn", "churn", [3], request_id=rid("churn"), timeout=60)
        final = msgs[-1]
        assert final["status"] == "success", final
        assert final["result"] == [expected] * 3
