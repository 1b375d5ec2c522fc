"""What the kernel asks of its server and what it proves to it, over real TLS with certificates
made here: a pinned certificate, a CA bundle (chain and name), the kernel's token in the upgrade
request and nowhere else, a refused upgrade, and the console's own secure session."""

import hashlib
import os
import ssl
import subprocess

import pytest

from conftest import KERNEL

TOKEN = "tok-3f9a1c77e2b84d05a6c1d2e3f4a5b6c7"


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=30)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """Two CAs and server certificates signed by the first: one naming 127.0.0.1, one naming
    only localhost, one naming another host. Returns {name: path}."""
    d = tmp_path_factory.mktemp("pki")

    def key(name):
        _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                 "-out", f"{name}.key", cwd=d)

    for ca in ("ca", "other_ca"):
        key(ca)
        _openssl("req", "-x509", "-new", "-key", f"{ca}.key", "-out", f"{ca}.pem", "-days", "2",
                 "-subj", f"/CN=Test {ca}", "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    for name, san in (("server", "IP:127.0.0.1"), ("local", "DNS:localhost"),
                      ("elsewhere", "DNS:example.com")):
        key(name)
        _openssl("req", "-new", "-key", f"{name}.key", "-out", f"{name}.csr",
                 "-subj", f"/CN={san.split(':')[1]}", cwd=d)
        (d / f"{name}.ext").write_text(
            f"subjectAltName={san}\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
        _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", f"{name}.pem", "-days", "2",
                 "-extfile", f"{name}.ext", cwd=d)
    return {p.stem + p.suffix: str(p) for p in d.iterdir()}


def pin_of(cert_path):
    with open(cert_path) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    return "sha256:" + hashlib.sha256(der).hexdigest()


def _failed_before_upgrade(bl, line):
    """The kernel ended with 1 and `line`, and the server never got an upgrade request."""
    code = bl.wait_exit(15)
    log = bl.log_text()
    assert code == 1, log
    assert f"Kernel error: {line}" in log, log
    assert bl.request_headers == [] and bl.paths == [], "the upgrade request was sent"
    assert "Kernel connected" not in log


# ------------------------------------------------------------------ pin

def test_pinned_certificate_connects_any_other_is_refused(kernel_factory, tls_files, pki):
    bl = kernel_factory.start(workbook_id="wb-pin", tls=tls_files,
                              env={"GRIDLET_TLS_PIN": pin_of(tls_files[0])})
    bl.ping()
    kernel_factory.finish(bl)

    # The same pin in upper case with colons, as `openssl x509 -fingerprint -sha256` prints it.
    digest = pin_of(tls_files[0])[7:].upper()
    colons = ":".join(digest[i:i + 2] for i in range(0, 64, 2))
    bl = kernel_factory.start(workbook_id="wb-pin-colons", tls=tls_files,
                              env={"GRIDLET_TLS_PIN": "sha256:" + colons})
    bl.ping()
    kernel_factory.finish(bl)

    # A certificate that even verifies against a CA is refused when it is not the pinned one.
    bl = kernel_factory.start(workbook_id="wb-pin-wrong", tls=(pki["server.pem"], pki["server.key"]),
                              env={"GRIDLET_TLS_PIN": pin_of(tls_files[0])}, connect=False)
    _failed_before_upgrade(
        bl, "TLS: the server's certificate does not match GRIDLET_TLS_PIN (the server presented "
            f"{pin_of(pki['server.pem'])})")


# ------------------------------------------------------------------ CA bundle

@pytest.mark.parametrize("cert", ["server", "local"], ids=["ip-127.0.0.1", "dns-localhost"])
def test_chain_verifying_against_the_ca_file_connects(kernel_factory, pki, cert):
    bl = kernel_factory.start(workbook_id=f"wb-ca-{cert}", tls=(pki[f"{cert}.pem"], pki[f"{cert}.key"]),
                              env={"GRIDLET_TLS_CA_FILE": pki["ca.pem"]})
    bl.ping()
    kernel_factory.finish(bl)


@pytest.mark.parametrize("case", ["wrong-ca", "self-signed", "wrong-name"])
def test_chain_or_name_failing_the_ca_file_ends_the_attempt(kernel_factory, pki, tls_files, case):
    tls, ca, line = {
        "wrong-ca": ((pki["server.pem"], pki["server.key"]), pki["other_ca.pem"],
                     "TLS: the server's certificate chain does not verify against GRIDLET_TLS_CA_FILE "
                     "(unable to get local issuer certificate)"),
        "self-signed": (tls_files, pki["ca.pem"],
                        "TLS: the server's certificate chain does not verify against GRIDLET_TLS_CA_FILE "
                        "(self-signed certificate)"),
        "wrong-name": ((pki["elsewhere.pem"], pki["elsewhere.key"]), pki["ca.pem"],
                       "TLS: the server's certificate names neither 127.0.0.1 nor localhost"),
    }[case]
    bl = kernel_factory.start(workbook_id=f"wb-ca-{case}", tls=tls,
                              env={"GRIDLET_TLS_CA_FILE": ca}, connect=False)
    _failed_before_upgrade(bl, line)


def test_ca_file_and_pin_together_both_apply(kernel_factory, pki):
    server = (pki["server.pem"], pki["server.key"])
    bl = kernel_factory.start(workbook_id="wb-both", tls=server,
                              env={"GRIDLET_TLS_CA_FILE": pki["ca.pem"],
                                   "GRIDLET_TLS_PIN": pin_of(pki["server.pem"])})
    bl.ping()
    kernel_factory.finish(bl)
    # Verifies against the CA, but is not the pinned certificate.
    bl = kernel_factory.start(workbook_id="wb-both-wrong", tls=server, connect=False,
                              env={"GRIDLET_TLS_CA_FILE": pki["ca.pem"],
                                   "GRIDLET_TLS_PIN": pin_of(pki["local.pem"])})
    _failed_before_upgrade(bl, "TLS: the server's certificate does not match GRIDLET_TLS_PIN")


@pytest.mark.parametrize("env, text", [
    ({"GRIDLET_TLS_PIN": "sha256:abcd"}, "GRIDLET_TLS_PIN must be"),
    ({"GRIDLET_TLS_PIN": "sha256:" + "00" * 32, "GRIDLET_SECURED": "0"},
     "need a wss:// connection, but GRIDLET_SECURED is 0"),
    ({"GRIDLET_TLS_CA_FILE": "/nonexistent/ca.pem"}, "GRIDLET_TLS_CA_FILE: cannot read"),
    ({"GRIDLET_AUTH_TOKEN": "two words"}, "GRIDLET_AUTH_TOKEN may hold only visible ASCII"),
    ({"GRIDLET_PING_INTERVAL": "soon"}, "GRIDLET_PING_INTERVAL is a number of seconds"),
], ids=["pin-form", "pin-without-tls", "ca-missing", "token-space", "ping-interval"])
def test_unusable_settings_are_refused_at_start(env, text):
    if not os.path.exists(KERNEL):
        pytest.skip("kernel binary missing")
    p = subprocess.run([KERNEL, "wb-settings", "1"], env={**os.environ, **env},
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
    err = p.stderr.decode()
    assert p.returncode == 2, err
    assert text in err, err


# ------------------------------------------------------------------ token

TOKEN_PROBE = r"""
import os, subprocess
with open('/proc/self/environ', 'rb') as f:
    raw = f.read()
child = subprocess.run(['/usr/bin/env'], capture_output=True, text=True).stdout
print('in-environ', 'GRIDLET_AUTH_TOKEN' in os.environ, SECRET.encode() in raw)
print('in-child', 'GRIDLET_AUTH_TOKEN' in child, SECRET in child)
"""


def test_token_goes_in_the_upgrade_request_and_nowhere_else(kernel_factory, tls_files):
    bl = kernel_factory.start(workbook_id="wb-token", tls=tls_files,
                              env={"GRIDLET_AUTH_TOKEN": TOKEN, "GRIDLET_LOG_LEVEL": "DEBUG",
                                   "GRIDLET_TLS_PIN": pin_of(tls_files[0])})
    assert [h.get_all("Authorization") for h in bl.request_headers] == [[f"Bearer {TOKEN}"]]
    msgs = bl.execute(TOKEN_PROBE.replace("SECRET", repr(TOKEN)))
    assert msgs[-1]["type"] == "execution_result", msgs[-1]
    out = "".join(m["content"] for m in msgs if m["type"] == "stdout")
    assert out == "in-environ False False\nin-child False False\n"
    kernel_factory.finish(bl)
    log = bl.log_text()
    assert "[Kernel] Connecting to wss://" in log, "the log is at DEBUG"
    assert TOKEN not in log and TOKEN not in bl.console_text()


def test_without_a_token_no_authorization_header_is_sent(kernel_factory):
    bl = kernel_factory.start(workbook_id="wb-no-token", env={"GRIDLET_AUTH_TOKEN": None})
    assert [h.get_all("Authorization") for h in bl.request_headers] == [[]]
    bl.ping()
    kernel_factory.finish(bl)


@pytest.mark.parametrize("token, status, line", [
    (None, 401, "WebSocket upgrade refused by the server: HTTP 401 Unauthorized (no GRIDLET_AUTH_TOKEN was given)"),
    ("wrong-7c1e5a", 401, "WebSocket upgrade refused by the server: HTTP 401 Unauthorized (the server did not "
                          "accept GRIDLET_AUTH_TOKEN)"),
    ("wrong-7c1e5a", 403, "WebSocket upgrade refused by the server: HTTP 403 Forbidden"),
], ids=["no-token", "wrong-token", "forbidden"])
def test_refused_upgrade_ends_the_kernel_with_its_line(kernel_factory, tls_files, token, status, line):
    def refuse(headers):
        return None if headers.get("Authorization") == f"Bearer {TOKEN}" else status

    bl = kernel_factory.start(workbook_id="wb-refused", tls=tls_files, refuse=refuse, connect=False,
                              env={"GRIDLET_AUTH_TOKEN": token})
    code = bl.wait_exit(15)
    log = bl.log_text()
    assert code == 1, log
    assert f"Kernel error: {line}" in log, log
    assert len(bl.request_headers) == 1 and bl.paths == []
    assert "wrong-7c1e5a" not in log
