#!/usr/bin/env bash
# Registers VarnellHost with Chromium for the current user, so that one extension may start it.
#   install-host-manifest.sh EXTENSION_ID [HOST_PATH] [MANIFEST_DIR]
# EXTENSION_ID  the 32 letters a-p of the extension allowed to talk to the host
# HOST_PATH     the host program (default: build/release/VarnellHost.app/bin/VarnellHost; after
#               the demo, build/demo/VarnellHost.app/bin/VarnellHost)
# MANIFEST_DIR  where Chromium looks for host manifests (default: the user's
#               ~/.config/chromium/NativeMessagingHosts; Google Chrome uses
#               ~/.config/google-chrome/NativeMessagingHosts)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TEMPLATE="$ROOT/src/Host/com.varnell.host.json.in"

ID=${1:?usage: install-host-manifest.sh EXTENSION_ID [HOST_PATH] [MANIFEST_DIR]}
HOST=${2:-$ROOT/build/release/VarnellHost.app/bin/VarnellHost}
DIR=${3:-${XDG_CONFIG_HOME:-$HOME/.config}/chromium/NativeMessagingHosts}

if ! [[ $ID =~ ^[a-p]{32}$ ]]; then
    echo "not an extension ID (32 letters a-p): $ID" >&2
    exit 2
fi
if ! [ -e "$HOST" ]; then
    echo "no host program at $HOST" >&2
    echo "build it first, or pass the one to install; after the demo:" >&2
    echo "  bash scripts/install-host-manifest.sh $ID $ROOT/build/demo/VarnellHost.app/bin/VarnellHost" >&2
    exit 2
fi
HOST=$(realpath -e "$HOST")
if ! [ -x "$HOST" ]; then
    echo "not an executable program: $HOST" >&2
    exit 2
fi
# The path goes into JSON text and a sed replacement unescaped: refuse what would need escaping.
if [[ $HOST == *[\"\\\|\&]* ]]; then
    echo "the host path must not contain \" \\ | or &: $HOST" >&2
    exit 2
fi

mkdir -p "$DIR"
sed -e "s|@HOST_PATH@|$HOST|" -e "s|@EXTENSION_ID@|$ID|" "$TEMPLATE" > "$DIR/com.varnell.host.json.new"
mv "$DIR/com.varnell.host.json.new" "$DIR/com.varnell.host.json"
echo "$DIR/com.varnell.host.json"
