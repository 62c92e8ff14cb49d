#!/usr/bin/env python3
"""The host end to end from a real headless Chromium, through the example extension and page.

A copy of docs/example-extension/extension (its ID fixed by the manifest's key) is allowed to talk
to the host through a host manifest made from the shipped template by
scripts/install-host-manifest.sh; the copy's allow-list names the origin of the example page,
docs/example-extension/page, served here at http://127.0.0.1:<port>. A throw-away SoftHSM2 token
holds one signing certificate and its key under the host's stored PIN. Through DevTools:
  one-shot (a new host process, from the extension's worker):  GetVersion
  one conversation (the page's port, all sent at once):        GetVersion, an unknown function,
        GetLastErrorDesc, SelectCertificate, GetSignCertInfo, SignMsgPKCS7, GetLastErrorDesc
  the example page's own buttons: select, SubjectDN, sign; a failure shown with GetLastErrorDesc
  the same page from an origin not on the allow-list: refused by the extension
  what Chromium itself answers: no host manifest, a manifest for another extension, a host that
        ends because its answer would exceed the browser's 1 MiB
The answers are checked; the PKCS#7 SignedData are verified by the openssl command.

usage: chromium_e2e.py --host HOST --source-dir DIR [--softhsm-module SO] [--chromium PATH]
The host must be built with a module table holding a signed copy of SoftHSM2.
Exit status 0: passed; 1: failed; 77: skipped (no Chromium or SoftHSM2).
"""
import argparse
import base64
import functools
import hashlib
import http.server
import itertools
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

HOST_NAME = "com.varnell.host"
DEFAULT_PIN = "\x01\x0840917263"  # the host's stored PIN: bytes 01 08, then "40917263"
MESSAGE = "Hello from the browser: \u4f60\u597d"
WAIT_SECONDS = 60


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, timeout=WAIT_SECONDS, **kwargs)


def make_extension(work, source_dir, origin):
    """A copy of the example extension whose allow-list holds exactly `origin`; gives its folder and ID."""
    ext = os.path.join(work, "ext")
    shutil.copytree(os.path.join(source_dir, "docs/example-extension/extension"), ext)
    worker = os.path.join(ext, "service-worker.js")
    with open(worker) as f:
        text, n = re.subn(r"^const ALLOWED_ORIGINS = \[.*\];$", "const ALLOWED_ORIGINS = [%s];" % json.dumps(origin),
                          f.read(), flags=re.M)
    check(n == 1, "no allow-list line in the example's service worker")
    with open(worker, "w") as f:
        f.write(text)
    with open(os.path.join(ext, "manifest.json")) as f:
        pub = base64.b64decode(json.load(f)["key"])
    ext_id = hashlib.sha256(pub).hexdigest()[:32].translate(str.maketrans("0123456789abcdef", "abcdefghijklmnop"))
    return ext, ext_id


def make_token(work, module):
    """One token with one RSA signing certificate and its key under the stored PIN."""
    os.mkdir(os.path.join(work, "tokens"))
    conf = os.path.join(work, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n"
                "slots.removable = false\n" % work)
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    key, cert, der = (os.path.join(work, n) for n in ("signer.key", "signer.pem", "signer.der"))
    run(["softhsm2-util", "--init-token", "--free", "--label", "e2e", "--so-pin", "12345678",
         "--pin", DEFAULT_PIN], env=env)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "30",
         "-subj", "/C=CN/O=Varnell Test/CN=Browser Signer", "-addext", "keyUsage=critical,digitalSignature",
         "-addext", "subjectKeyIdentifier=hash"])
    run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der])
    cka_id = b"signer#2".hex()
    run(["softhsm2-util", "--import", key, "--token", "e2e", "--label", "signer", "--id", cka_id,
         "--pin", DEFAULT_PIN], env=env)
    run(["pkcs11-tool", "--module", module, "--token-label", "e2e", "--login", "--pin", DEFAULT_PIN,
         "--write-object", der, "--type", "cert", "--id", cka_id, "--label", "signer"], env=env)
    return conf, cert


class PageServer:
    """The example page folder over HTTP on 127.0.0.1, on a free port."""

    def __init__(self, folder):
        handler = functools.partial(Quiet, directory=folder)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.origin = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class DevTools:
    """One DevTools connection to a page or worker: just enough WebSocket (RFC 6455) for it."""

    def __init__(self, ws_url):
        url = urllib.parse.urlsplit(ws_url)
        self.sock = socket.create_connection((url.hostname, url.port), timeout=WAIT_SECONDS)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                           % (url.path, url.netloc, key)).encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            self.buf += self._recv_some()
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        check(head.startswith(b"HTTP/1.1 101"), "no WebSocket: %r" % head[:80])
        self.last = 0

    def _recv_some(self):
        chunk = self.sock.recv(65536)
        check(chunk, "the DevTools connection closed")
        return chunk

    def _take(self, n):
        while len(self.buf) < n:
            self.buf += self._recv_some()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def _send(self, text):
        data, mask = text.encode(), os.urandom(4)
        n = len(data)
        size = bytes([0x80 | n]) if n < 126 else bytes([0xFE]) + struct.pack(">H", n) if n < 65536 \
            else bytes([0xFF]) + struct.pack(">Q", n)
        self.sock.sendall(b"\x81" + size + mask + bytes(b ^ m for b, m in zip(data, itertools.cycle(mask))))

    def _receive(self):
        message = b""
        while True:
            b0, b1 = self._take(2)
            n = b1 & 0x7F
            if n >= 126:
                n = struct.unpack(">H" if n == 126 else ">Q", self._take(2 if n == 126 else 8))[0]
            payload = self._take(n)  # the server does not mask
            check(b0 & 0x0F != 0x8, "the DevTools connection closed")
            if b0 & 0x0F in (0x0, 0x1):
                message += payload
                if b0 & 0x80:
                    return json.loads(message)

    def call(self, method, **params):
        self.last += 1
        self._send(json.dumps({"id": self.last, "method": method, "params": params}))
        while True:
            reply = self._receive()
            if reply.get("id") == self.last:
                return reply

    def evaluate(self, expression):
        """The value of a JavaScript expression (a promise is awaited), or raises with the page's error."""
        reply = self.call("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)
        result = reply.get("result", {})
        check("error" not in reply and "exceptionDetails" not in result, "script failed: %r" % reply)
        return result["result"].get("value")

    def close(self):
        self.sock.close()


class Browser:
    def __init__(self, chromium, work, ext, env):
        self.udd = os.path.join(work, "udd")
        self.log = open(os.path.join(work, "browser.log"), "wb")
        cmd = [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--user-data-dir=" + self.udd, "--load-extension=" + ext,
               "--disable-extensions-except=" + ext, "--remote-debugging-port=0", "about:blank"]
        # A session of its own, so that stopping it reaches the browser's helpers and nothing else.
        self.proc = subprocess.Popen(cmd, env=env, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.port = None

    def wait_port(self):
        path = os.path.join(self.udd, "DevToolsActivePort")
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            check(self.proc.poll() is None, "the browser ended early")
            try:
                with open(path) as f:
                    line = f.readline().strip()
                if line:
                    self.port = int(line)
                    return
            except (OSError, ValueError):
                pass
            time.sleep(0.05)
        raise Failure("no DevToolsActivePort")

    def request(self, method, path):
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), method=method)
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.read().decode()

    def open_page(self, url):
        """A new tab at url, once its scripts have run; the DevTools connection to it."""
        target = json.loads(self.request("PUT", "/json/new?" + url))
        tab = DevTools(target["webSocketDebuggerUrl"])
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            # Evaluated while the tab still navigates, this may fail or see about:blank.
            reply = tab.call("Runtime.evaluate", returnByValue=True,
                             expression="location.href + ' ' + document.readyState + ' ' + typeof varnell")
            if reply.get("result", {}).get("result", {}).get("value") == url + " complete object":
                tab.target = target["id"]
                return tab
            time.sleep(0.05)
        raise Failure("the page did not load: " + url)

    def close_page(self, tab):
        tab.close()
        self.request("GET", "/json/close/" + tab.target)

    def worker(self, ext_id):
        """The DevTools connection to the extension's service worker."""
        url = "chrome-extension://%s/service-worker.js" % ext_id
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            for t in json.loads(self.request("GET", "/json/list")):
                if t.get("type") == "service_worker" and t.get("url") == url:
                    return DevTools(t["webSocketDebuggerUrl"])
            time.sleep(0.05)
        raise Failure("no service worker " + url)

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=15)
        self.log.close()


# Every request at once through the page's client: its outcomes in order, an answer object or
# "ERR <text>" for a request that was refused or lost.
CONVERSE_JS = """Promise.all(%s.map((m) => varnell.send(m).catch((e) => "ERR " + e.message)))"""

# The example page's buttons, pressed as a user does, each step waiting for the page to finish it.
UI_JS = r"""(async () => {
  const $ = (id) => document.getElementById(id);
  const press = async (id, done) => {
    $(id).click();
    for (let i = 0; i < 1200 && !done(); i++) await new Promise((r) => setTimeout(r, 50));
    return { status: $("status").textContent, failed: $("status").className === "failed" };
  };
  const out = {};
  out.select = await press("select", () => /selected\.|failed/.test($("status").textContent));
  out.subject = $("subject-dn").textContent;
  $("message").value = %s;
  out.sign = await press("sign", () => /Signed\.|failed/.test($("status").textContent));
  out.signature = $("signature").textContent;
  $("hash").add(new Option("SHA-512"));  // a hash name the host does not know
  $("hash").value = "SHA-512";
  out.badHash = await press("sign", () => /Signed\.|failed/.test($("status").textContent));
  return out;
})()"""


def verify_signature(work, cert, b64, message):
    der = os.path.join(work, "sig.der")
    with open(der, "wb") as f:
        f.write(base64.b64decode(b64))
    content = os.path.join(work, "content.txt")
    r = subprocess.run(["openssl", "cms", "-verify", "-inform", "DER", "-in", der, "-CAfile", cert,
                        "-purpose", "any", "-out", content], capture_output=True, timeout=WAIT_SECONDS)
    check(r.returncode == 0, "openssl does not verify the signature: " + r.stderr.decode(errors="replace"))
    with open(content, "rb") as f:
        check(f.read() == message.encode(), "the signed content differs from the message")


def base_description(source_dir, code):
    """The English description of a code as GetLastErrorDesc gives it, from the shipped table."""
    with open(os.path.join(source_dir, "src/Host/Resources/Localizable.strings"), encoding="utf-8") as f:
        m = re.search(r'^"0x%08X" = "(.*)";$' % code, f.read(), flags=re.M)
    check(m, "no description of 0x%08X" % code)
    return m.group(1).replace('\\"', '"') + "(0x%08x)" % code


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", required=True)
    ap.add_argument("--source-dir", required=True)
    ap.add_argument("--softhsm-module", default="/usr/lib/softhsm/libsofthsm2.so")
    ap.add_argument("--chromium", default="/usr/lib/chromium/chromium")
    args = ap.parse_args()
    for need in (args.chromium, args.softhsm_module):
        if not os.path.exists(need):
            print("skipped: %s is not installed" % need)
            return 77

    work = tempfile.mkdtemp(prefix="varnell-e2e-")
    browser = None
    pages = os.path.join(args.source_dir, "docs/example-extension/page")
    allowed, other = PageServer(pages), PageServer(pages)
    try:
        ext, ext_id = make_extension(work, args.source_dir, allowed.origin)
        conf, cert = make_token(work, args.softhsm_module)
        manifests = os.path.join(work, "udd", "NativeMessagingHosts")
        install = ["bash", os.path.join(args.source_dir, "scripts/install-host-manifest.sh")]
        run(install + [ext_id, args.host, manifests])
        # The host inherits the browser's environment: its token, an English locale, no log file.
        env = dict(os.environ, SOFTHSM2_CONF=conf, LANG="C", PLATFORM_DIALOG_BACKEND="none")
        for name in ("LC_ALL", "LC_MESSAGES", "QOVA_LOG_CONF_PATH"):
            env.pop(name, None)
        browser = Browser(args.chromium, work, ext, env)
        browser.wait_port()
        page_url = allowed.origin + "/index.html"

        msgs = [{"function": "GetVersion", "params": [], "randomId": "1"},
                {"function": "Nope", "params": [], "randomId": "2"},
                {"function": "GetLastErrorDesc", "params": []},
                {"function": "SelectCertificate", "params": ["", "", "", ""]},
                {"function": "GetSignCertInfo", "params": ["SubjectCN"]},
                {"function": "SignMsgPKCS7", "params": [MESSAGE, "SHA-256", True]},
                {"function": "GetLastErrorDesc", "params": []}]
        tab = browser.open_page(page_url)
        r = tab.evaluate(CONVERSE_JS % json.dumps(msgs))
        version = {"function": "GetVersion", "errorcode": 0, "result": "3.0.0.6"}
        check(len(r) == len(msgs), "one answer per request: %r" % r)
        check(r[0] == dict(version, randomId="1"), "GetVersion: %r" % r[0])
        check(r[1] == {"function": "Nope", "errorcode": -2146893779, "result": False, "randomId": "2"},
              "unknown function: %r" % r[1])
        check(r[2]["errorcode"] == 0 and r[2]["result"].endswith("(0xffffffff)"), "description of -1: %r" % r[2])
        check(r[3] == {"function": "SelectCertificate", "errorcode": 0, "result": True}, "selection: %r" % r[3])
        check(r[4] == {"function": "GetSignCertInfo", "errorcode": 0, "result": "Browser Signer"},
              "certificate field: %r" % r[4])
        check(r[5]["function"] == "SignMsgPKCS7" and r[5]["errorcode"] == 0, "signature: %r" % r[5])
        verify_signature(work, cert, r[5]["result"], MESSAGE)
        check(r[6]["errorcode"] == 0 and r[6]["result"].endswith("(0x00000000)"), "description of 0: %r" % r[6])

        # sendNativeMessage from the extension starts a host of its own for one request.
        worker = browser.worker(ext_id)
        one = worker.evaluate("new Promise((done) => chrome.runtime.sendNativeMessage(%s, %s, (reply) => "
                              "done(chrome.runtime.lastError ? 'ERR ' + chrome.runtime.lastError.message : reply)))"
                              % (json.dumps(HOST_NAME), json.dumps({"function": "GetVersion", "params": []})))
        worker.close()
        check(one == version, "one-shot GetVersion: %r" % one)
        browser.close_page(tab)

        # The example page as a user drives it: a fresh page, so a host of its own, where nothing is
        # selected yet (the first page's selection went with it).
        tab = browser.open_page(page_url)
        fresh = tab.evaluate('varnell.call("GetSignCertInfo", ["SubjectDN"]).then((a) => a.errorcode)')
        check(fresh == -1610145791, "a new page starts with no selection (0xA0072001): %r" % fresh)
        ui = tab.evaluate(UI_JS % json.dumps(MESSAGE))
        check(ui["select"] == {"status": "Certificate selected.", "failed": False}, "page, select: %r" % ui)
        check(ui["subject"] == "CN=Browser Signer, O=Varnell Test, C=CN", "page, SubjectDN: %r" % ui)
        check(ui["sign"] == {"status": "Signed.", "failed": False}, "page, sign: %r" % ui)
        verify_signature(work, cert, ui["signature"], MESSAGE)
        check(ui["badHash"] == {"status": "SignMsgPKCS7 failed: " + base_description(args.source_dir, 0x80090008),
                                "failed": True}, "page, a failure described: %r" % ui["badHash"])
        # An answer over Chromium's 1 MiB is not sent: the host sends the end-of-conversation length
        # instead and ends, and the page hears it from Chromium.
        big = tab.evaluate("""varnell.call("SignMsgPKCS7", ["x".repeat(800000), "SHA-256", true])
                              .then((a) => a.errorcode, (e) => "ERR " + e.message)""")
        check(big == "ERR Error when communicating with the native messaging host.",
              "an attached signature over 1 MiB: %r" % big)
        browser.close_page(tab)

        # The extension forwards nothing from an origin that its allow-list does not name.
        tab = browser.open_page(other.origin + "/index.html")
        refused = tab.evaluate(CONVERSE_JS % json.dumps(msgs[:1]))
        check(refused == ["ERR The extension does not forward requests from %s." % other.origin],
              "a page from another origin: %r" % refused)
        browser.close_page(tab)

        # What Chromium answers when it will not start the host for this extension.
        manifest = os.path.join(manifests, HOST_NAME + ".json")
        for what, prepare, text in (
                ("no host manifest", lambda: os.remove(manifest), "Specified native messaging host not found."),
                ("a manifest for another extension", lambda: run(install + ["a" * 32, args.host, manifests]),
                 "Access to the specified native messaging host is forbidden.")):
            prepare()
            tab = browser.open_page(page_url)
            got = tab.evaluate(CONVERSE_JS % json.dumps(msgs[:1]))
            check(got == ["ERR " + text], "%s: %r" % (what, got))
            browser.close_page(tab)
        print("passed: a conversation, the example page and the refusals in Chromium, signatures verified by openssl")
        return 0
    except (Failure, subprocess.SubprocessError, OSError, KeyError, ValueError, AttributeError, TypeError) as e:
        print("FAILED: %s: %s" % (type(e).__name__, e))
        log = os.path.join(work, "browser.log")
        if os.path.exists(log):
            with open(log, errors="replace") as f:
                print("--- browser output (last lines)\n" + "".join(f.readlines()[-40:]))
        return 1
    finally:
        if browser:
            browser.stop()
        allowed.stop()
        other.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
