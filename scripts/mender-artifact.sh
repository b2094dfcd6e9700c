#!/bin/sh
# Wraps a procedure's bundle into a Mender artifact for the zor-bundle
# Update Module: $BUILD/<NAME>.mender.
#   DEVICE_TYPE=... [PROCEDURE=dir] [NAME=...] [SIGNING_SECKEY=key.sec] [ARTIFACT_KEY=private.pem]
#   [ALLOW_DEFAULT_KEY=1] [BUILD=build] scripts/mender-artifact.sh
# PROCEDURE is the folder to pack (default: the example); SIGNING_SECKEY
# signs the bundle for a signing launcher (minisign); ARTIFACT_KEY signs the
# artifact itself for the Mender client. A build with the public default
# bundle key is refused unless ALLOW_DEFAULT_KEY=1.
set -eu
: "${DEVICE_TYPE:?set DEVICE_TYPE to the device_type of the devices}"
BUILD=${BUILD:-build}
PROCEDURE=${PROCEDURE:-examples/update}
NAME=${NAME:-zor-$(basename "$PROCEDURE")-$(date +%Y%m%d%H%M%S)}
[ -d "$PROCEDURE" ] || { echo "PROCEDURE=$PROCEDURE is not a folder" >&2; exit 1; }
"$(dirname "$0")/check-bundle-key" "$BUILD" refuse "make mender-artifact"
out=$BUILD/mender/$NAME
rm -rf "$out"
mkdir -p "$out"
"$BUILD/zor_pack" pack -o "$out/nuvex.zor" "$PROCEDURE"
set -- -f "$out/nuvex.zor"
if [ -n "${SIGNING_SECKEY:-}" ]; then
  minisign -S -s "$SIGNING_SECKEY" -m "$out/nuvex.zor" -t "version:$(date +%s) $NAME"
  set -- "$@" -f "$out/nuvex.zor.minisig"
fi
if [ -n "${ARTIFACT_KEY:-}" ]; then set -- "$@" -k "$ARTIFACT_KEY"; fi
mender-artifact write module-image -T zor-bundle -t "$DEVICE_TYPE" -n "$NAME" "$@" -o "$BUILD/$NAME.mender"
echo "$BUILD/$NAME.mender"
