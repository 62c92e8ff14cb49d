#!/usr/bin/env bash
# smoke.sh <release build dir>: a short run of the shipped configuration.
set -euo pipefail
BUILD=${1:?build dir}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$BUILD/demo/qova_logcheck" "$dir"

# The shipped host answers GetVersion over its standard input and output, then ends with the input.
python3 - "$BUILD/VarnellHost.app/bin/VarnellHost" <<'PY'
import json, struct, subprocess, sys
body = b'{"function":"GetVersion","params":[]}'
out = subprocess.run([sys.argv[1], "chrome-extension://smoke/"], input=struct.pack("<I", len(body)) + body,
                     capture_output=True, timeout=60, env={"PLATFORM_DIALOG_BACKEND": "none"}).stdout
n = struct.unpack("<I", out[:4])[0]
answer = json.loads(out[4:4 + n])
assert answer == {"function": "GetVersion", "errorcode": 0, "result": "3.0.0.6"}, answer
assert out[4 + n:].decode() == "argv[0]:%s\nargv[1]:chrome-extension://smoke/\n" % sys.argv[1], out[4 + n:]
print("host smoke test: " + json.dumps(answer))
PY
