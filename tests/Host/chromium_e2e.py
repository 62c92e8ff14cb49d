#!/usr/bin/env python3
"""The host end to end from a real headless Chromium.

A test extension (fixed ID from its own key) is allowed to talk to the host through a host manifest
made from the shipped template by scripts/install-host-manifest.sh. A throw-away SoftHSM2 token
holds one signing certificate and its key under the host's stored PIN. The extension page sends:
  one-shot (a new host process):   GetVersion
  one conversation (connectNative): GetVersion, an unknown function, GetLastErrorDesc,
                                    SelectCertificate, GetSignCertInfo, SignMsgPKCS7, GetLastErrorDesc
and the answers are checked; the PKCS#7 SignedData is verified by the openssl command.

usage: chromium_e2e.py --host HOST --source-dir DIR [--softhsm-module SO] [--chromium PATH]
The host must be built with a module table holding a signed copy of SoftHSM2.
Exit status 0: passed; 1: failed; 77: skipped (no Chromium or SoftHSM2).
"""
import argparse
import base64
import hashlib
import html
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HOST_NAME = "com.varnell.host"
DEFAULT_PIN = "\x01\x0840917263"  # the host's stored PIN: bytes 01 08, then "40917263"
MESSAGE = "Hello from the browser: \u4f60\u597d"
WAIT_SECONDS = 60

PAGE_JS = r"""
const HOST = "%s";
const spec = JSON.parse(new TextDecoder().decode(Uint8Array.from(
    atob(location.search.slice(1).replace(/-/g, "+").replace(/_/g, "/")), c => c.charCodeAt(0))));
const done = (text) => { document.title = text; };
function sendEach(msgs, replies) {
  if (msgs.length === 0) return done("OK " + JSON.stringify(replies));
  chrome.runtime.sendNativeMessage(HOST, msgs[0], (reply) => {
    if (chrome.runtime.lastError) return done("ERR " + chrome.runtime.lastError.message);
    replies.push(reply);
    sendEach(msgs.slice(1), replies);
  });
}
function converse(msgs) {
  const replies = [];
  const port = chrome.runtime.connectNative(HOST);
  port.onDisconnect.addListener(() => {
    if (replies.length < msgs.length)
      done("ERR " + (chrome.runtime.lastError ? chrome.runtime.lastError.message : "disconnected"));
  });
  port.onMessage.addListener((reply) => {
    replies.push(reply);
    if (replies.length < msgs.length) return port.postMessage(msgs[replies.length]);
    port.disconnect();
    done("OK " + JSON.stringify(replies));
  });
  port.postMessage(msgs[0]);
}
if (spec.mode === "send") sendEach(spec.msgs, []); else converse(spec.msgs);
""" % HOST_NAME


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, timeout=WAIT_SECONDS, **kwargs)


def make_extension(work):
    ext = os.path.join(work, "ext")
    os.mkdir(ext)
    key = os.path.join(work, "ext-key.pem")
    run(["openssl", "genrsa", "-out", key, "2048"])
    pub = run(["openssl", "rsa", "-in", key, "-pubout", "-outform", "DER"]).stdout
    ext_id = hashlib.sha256(pub).hexdigest()[:32].translate(str.maketrans("0123456789abcdef", "abcdefghijklmnop"))
    manifest = {"manifest_version": 3, "name": "host test", "version": "1.0",
                "key": base64.b64encode(pub).decode(), "permissions": ["nativeMessaging"]}
    with open(os.path.join(ext, "manifest.json"), "w") as f:
        json.dump(manifest, f)
    with open(os.path.join(ext, "page.html"), "w") as f:
        f.write('<!doctype html><title>pending</title><script src="page.js"></script>\n')
    with open(os.path.join(ext, "page.js"), "w") as f:
        f.write(PAGE_JS)
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

    def run_page(self, url):
        """Opens an extension page and waits until it has set its title to the outcome."""
        target = json.loads(self.request("PUT", "/json/new?" + url))
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            for t in json.loads(self.request("GET", "/json/list")):
                if t.get("id") == target["id"]:
                    title = html.unescape(t.get("title", ""))
                    if title.startswith("OK ") or title.startswith("ERR "):
                        self.request("GET", "/json/close/" + target["id"])
                        return title
            time.sleep(0.05)
        raise Failure("the page did not finish: " + url)

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=15)
        self.log.close()


def page_url(ext_id, mode, msgs):
    spec = base64.urlsafe_b64encode(json.dumps({"mode": mode, "msgs": msgs}).encode()).decode()
    return "chrome-extension://%s/page.html?%s" % (ext_id, spec)


def replies_of(title):
    check(title.startswith("OK "), "the extension saw an error: " + title)
    return json.loads(title[3:])


def verify_signature(work, cert, b64):
    der = os.path.join(work, "sig.der")
    with open(der, "wb") as f:
        f.write(base64.b64decode(b64))
    content = os.path.join(work, "content.txt")
    r = subprocess.run(["openssl", "cms", "-verify", "-inform", "DER", "-in", der, "-CAfile", cert,
                        "-purpose", "any", "-out", content], capture_output=True, timeout=WAIT_SECONDS)
    check(r.returncode == 0, "openssl does not verify the signature: " + r.stderr.decode(errors="replace"))
    with open(content, "rb") as f:
        check(f.read() == MESSAGE.encode(), "the signed content differs from the message")


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
    try:
        ext, ext_id = make_extension(work)
        conf, cert = make_token(work, args.softhsm_module)
        udd = os.path.join(work, "udd")
        run(["bash", os.path.join(args.source_dir, "scripts/install-host-manifest.sh"), ext_id, args.host,
             os.path.join(udd, "NativeMessagingHosts")])
        # The host inherits the browser's environment: its token, an English locale, no log file.
        env = dict(os.environ, SOFTHSM2_CONF=conf, LANG="C", PLATFORM_DIALOG_BACKEND="none")
        for name in ("LC_ALL", "LC_MESSAGES", "QOVA_LOG_CONF_PATH"):
            env.pop(name, None)
        browser = Browser(args.chromium, work, ext, env)
        browser.wait_port()

        version = {"function": "GetVersion", "errorcode": 0, "result": "3.0.0.6"}
        r = replies_of(browser.run_page(page_url(ext_id, "send", [{"function": "GetVersion", "params": []}])))
        check(r == [version], "one-shot GetVersion: %r" % r)

        msgs = [{"function": "GetVersion", "params": [], "randomId": "1"},
                {"function": "Nope", "params": [], "randomId": "2"},
                {"function": "GetLastErrorDesc", "params": []},
                {"function": "SelectCertificate", "params": ["", "", "", ""]},
                {"function": "GetSignCertInfo", "params": ["SubjectCN"]},
                {"function": "SignMsgPKCS7", "params": [MESSAGE, "SHA-256", True]},
                {"function": "GetLastErrorDesc", "params": []}]
        r = replies_of(browser.run_page(page_url(ext_id, "connect", msgs)))
        check(len(r) == len(msgs), "one answer per request: %r" % r)
        check(r[0] == dict(version, randomId="1"), "GetVersion: %r" % r[0])
        check(r[1] == {"function": "Nope", "errorcode": -2146893779, "result": False, "randomId": "2"},
              "unknown function: %r" % r[1])
        check(r[2]["errorcode"] == 0 and r[2]["result"].endswith("(0xffffffff)"), "description of -1: %r" % r[2])
        check(r[3] == {"function": "SelectCertificate", "errorcode": 0, "result": True}, "selection: %r" % r[3])
        check(r[4] == {"function": "GetSignCertInfo", "errorcode": 0, "result": "Browser Signer"},
              "certificate field: %r" % r[4])
        check(r[5]["function"] == "SignMsgPKCS7" and r[5]["errorcode"] == 0, "signature: %r" % r[5])
        verify_signature(work, cert, r[5]["result"])
        check(r[6]["errorcode"] == 0 and r[6]["result"].endswith("(0x00000000)"), "description of 0: %r" % r[6])
        print("passed: %d answers from a conversation in Chromium, signature verified by openssl" % len(r))
        return 0
    except (Failure, subprocess.SubprocessError, OSError, KeyError, ValueError, AttributeError) as e:
        print("FAILED: %s: %s" % (type(e).__name__, e))
        log = os.path.join(work, "browser.log")
        if os.path.exists(log):
            with open(log, errors="replace") as f:
                print("--- browser output (last lines)\n" + "".join(f.readlines()[-40:]))
        return 1
    finally:
        if browser:
            browser.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
