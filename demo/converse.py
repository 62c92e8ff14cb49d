#!/usr/bin/env python3
"""One native-messaging conversation with the host over a pipe, as a browser holds it.

usage: converse.py HOST OUTDIR
Starts HOST with its standard input and output as the pipe, sends GetVersion, SelectCertificate,
GetSignCertInfo, SignMsgPKCS7 and GetLastErrorDesc one at a time, prints each request and answer,
and writes the signed message and the returned PKCS#7 (DER) into OUTDIR for the openssl check.
Exit status 0 when every answer came back with errorcode 0.
"""
import base64
import json
import os
import select
import struct
import subprocess
import sys
import time

MESSAGE = "Hello from the Varnell demo"
REQUESTS = [
    {"function": "GetVersion", "params": []},
    {"function": "SelectCertificate", "params": ["", "", "", ""], "randomId": "demo-1"},
    {"function": "GetSignCertInfo", "params": ["SubjectDN"]},
    {"function": "SignMsgPKCS7", "params": [MESSAGE, "SHA-256", True]},
    {"function": "GetLastErrorDesc", "params": []},
]
TIMEOUT = 60


def read_exactly(fd, n):
    data = b""
    deadline = time.monotonic() + TIMEOUT
    while len(data) < n:
        ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
        if not ready:
            raise TimeoutError("no answer within %d s" % TIMEOUT)
        chunk = os.read(fd, n - len(data))
        if not chunk:
            raise EOFError("the host closed its output")
        data += chunk
    return data


def main():
    host, outdir = sys.argv[1], sys.argv[2]
    proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    out = proc.stdout.fileno()
    ok = True
    signature = None
    for request in REQUESTS:
        body = json.dumps(request, separators=(",", ":")).encode()
        print("-> " + body.decode())
        proc.stdin.write(struct.pack("<I", len(body)) + body)
        proc.stdin.flush()
        length = struct.unpack("<I", read_exactly(out, 4))[0]
        text = read_exactly(out, length).decode()
        answer = json.loads(text)
        shown = text
        if request["function"] == "SignMsgPKCS7" and isinstance(answer.get("result"), str):
            signature = answer["result"]
            shown = text.replace(signature, signature[:48] + "...(%d Base64 characters)" % len(signature))
        print("<- " + shown)
        ok = ok and answer.get("errorcode") == 0
    proc.stdin.close()  # end of input: the host ends the conversation and terminates
    rest = read_exactly_to_end(out)
    status = proc.wait(timeout=TIMEOUT)
    print("host exited with status %d; what it printed with stdio reached the pipe only then:" % status)
    sys.stdout.write("   " + rest.decode(errors="replace").replace("\n", "\n   ").rstrip() + "\n")
    if signature is None:
        return 1
    with open(os.path.join(outdir, "message.txt"), "w") as f:
        f.write(MESSAGE)
    with open(os.path.join(outdir, "signature.der"), "wb") as f:
        f.write(base64.b64decode(signature))
    return 0 if ok and status == 0 else 1


def read_exactly_to_end(fd):
    data = b""
    deadline = time.monotonic() + TIMEOUT
    while True:
        ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
        if not ready:
            raise TimeoutError("the host did not terminate within %d s" % TIMEOUT)
        chunk = os.read(fd, 65536)
        if not chunk:
            return data
        data += chunk


if __name__ == "__main__":
    sys.exit(main())
