#!/bin/sh
# Wraps the example's bundle into a Mender artifact for the zor-bundle
# Update Module: build/<NAME>.mender.
#   DEVICE_TYPE=... [NAME=...] [SIGNING_SECKEY=key.sec] [ARTIFACT_KEY=private.pem] scripts/mender-artifact.sh
# SIGNING_SECKEY signs the bundle for a signing launcher (minisign);
# ARTIFACT_KEY signs the artifact itself for the Mender client.
set -eu
: "${DEVICE_TYPE:?set DEVICE_TYPE to the device_type of the devices}"
NAME=${NAME:-zor-example-$(date +%Y%m%d%H%M%S)}
out=build/mender/$NAME
rm -rf "$out"
mkdir -p "$out"
build/zor_pack pack -o "$out/nuvex.zor" examples/update
files="-f $out/nuvex.zor"
if [ -n "${SIGNING_SECKEY:-}" ]; then
  minisign -S -s "$SIGNING_SECKEY" -m "$out/nuvex.zor" -t "version:$(date +%s) $NAME"
  files="$files -f $out/nuvex.zor.minisig"
fi
# shellcheck disable=SC2086
mender-artifact write module-image -T zor-bundle -t "$DEVICE_TYPE" -n "$NAME" $files \
  ${ARTIFACT_KEY:+-k "$ARTIFACT_KEY"} -o "build/$NAME.mender"
echo "build/$NAME.mender"
