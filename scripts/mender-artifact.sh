#!/bin/sh
# Wraps a procedure's bundle into a Mender artifact for the zor-bundle
# Update Module: $OUT/<NAME>.mender (OUT defaults to BUILD).
#   DEVICE_TYPE=... [VERSION=N] [PROCEDURE=dir] [NAME=...] [SIGNING_SECKEY=key.sec]
#   [ARTIFACT_KEY=private.pem] [ALLOW_DEFAULT_KEY=1] [BUILD=build] [OUT=dir]
#   [PAYLOADS="NAME=FILE ..."] [COMPRESS=zstd] scripts/mender-artifact.sh
# PROCEDURE is the folder to pack (default: the example); SIGNING_SECKEY
# signs the bundle for a signing launcher (minisign), with the trusted
# comment "version:N compatible:DEVICE_TYPE NAME" (what zor_ab.check reads),
# and is required by a signing build, as VERSION
# is; the artifact's name (default zor-<folder>-<N>) and provides
# (zor-bundle.version) carry the version too. ARTIFACT_KEY signs the
# artifact itself for the Mender client. A build with the public default bundle key is refused unless
# ALLOW_DEFAULT_KEY=1. PAYLOADS (blank-separated NAME=FILE) go beside the
# bundle, pinned by it, as files of the artifact (COMPRESS=zstd: stored
# compressed). Everything is checked before the artifact is
# written: a signed bundle that this build's launcher would refuse (the
# build's own zor_pack verify says why) is refused, exit 2.
set -eu
: "${DEVICE_TYPE:?set DEVICE_TYPE to the device_type of the devices}"
BUILD=${BUILD:-build}
OUT=${OUT:-$BUILD}
PROCEDURE=${PROCEDURE:-examples/update}
VERSION=${VERSION:-}
case $DEVICE_TYPE in
  *[[:space:]]*) echo "DEVICE_TYPE=$DEVICE_TYPE: a device type is one word (compatible:NAME)" >&2; exit 2 ;;
esac
case $VERSION in
  '' | *[!0-9]*) [ -z "$VERSION" ] || { echo "VERSION=$VERSION: a version is a number (version:N)" >&2; exit 2; } ;;
esac
NAME=${NAME:-zor-$(basename "$PROCEDURE")-${VERSION:-$(date +%Y%m%d%H%M%S)}}
[ -d "$PROCEDURE" ] || { echo "PROCEDURE=$PROCEDURE is not a folder" >&2; exit 1; }
"$(dirname "$0")/check-bundle-key" "$BUILD" refuse "make mender-artifact"
identity=$("$BUILD/zor_pack" --version)
case $identity in
  *"signing build"*)
    if [ -z "$VERSION" ]; then
      echo "make mender-artifact refused: a signing build's bundles carry version:N in their signature, which devices refuse to go below; give VERSION=N" >&2
      exit 2
    fi
    if [ -z "${SIGNING_SECKEY:-}" ]; then
      echo "make mender-artifact refused: a signing build's devices run only signed bundles; give SIGNING_SECKEY=path/to/key.sec, a minisign secret key of: $(printf '%s\n' "$identity" | sed -n 's/^signing build: runs only bundles signed by //p')" >&2
      exit 2
    fi ;;
esac
stage=$(mktemp -d "${TMPDIR:-/tmp}/zor-mender-artifact.XXXXXX")
trap 'rm -rf "$stage"' EXIT
# Payloads: each NAME=FILE one word (the list is split at blanks, never
# globbed), stored as NAME (NAME.zst compressed).
payload_files=''
set -f
# shellcheck disable=SC2086
set -- ${PAYLOADS:-}
set +f
for payload in "$@"; do
  case $payload in ?*=?*) ;; *) echo "PAYLOADS: $payload is not NAME=FILE" >&2; exit 2 ;; esac
  payload_files="$payload_files ${payload%%=*}${COMPRESS:+.zst}"
  set -- "$@" --payload "$payload"
  shift
done
if [ -n "${COMPRESS:-}" ]; then set -- "$@" --compress "$COMPRESS"; fi
"$BUILD/zor_pack" pack -o "$stage/nuvex.zor" "$@" "$PROCEDURE"
set -- -f "$stage/nuvex.zor"
for file in $payload_files; do set -- "$@" -f "$stage/$file"; done  # names zor_pack accepted: no blanks, no glob
if [ -n "${SIGNING_SECKEY:-}" ]; then
  minisign -S -s "$SIGNING_SECKEY" -m "$stage/nuvex.zor" -t "version:${VERSION:?give VERSION=N to sign} compatible:$DEVICE_TYPE $NAME"
  set -- "$@" -f "$stage/nuvex.zor.minisig"
  # The build's own check of what its launcher would run.
  if ! "$BUILD/zor_pack" verify "$stage/nuvex.zor" >"$stage/verify.log" 2>&1; then
    echo "make mender-artifact refused: this build's launcher would not run the signed bundle:" >&2
    sed 's/^/  /' "$stage/verify.log" >&2
    exit 2
  fi
fi
if [ -n "${ARTIFACT_KEY:-}" ]; then set -- "$@" -k "$ARTIFACT_KEY"; fi
if [ -n "$VERSION" ]; then set -- "$@" --provides "zor-bundle.version:$VERSION"; fi
mkdir -p "$OUT"
mender-artifact write module-image -T zor-bundle -t "$DEVICE_TYPE" -n "$NAME" "$@" -o "$stage/$NAME.mender"
mkdir -p "$OUT/mender/$NAME"
cp "$stage/nuvex.zor" "$OUT/mender/$NAME/"
if [ -f "$stage/nuvex.zor.minisig" ]; then cp "$stage/nuvex.zor.minisig" "$OUT/mender/$NAME/"; fi
for file in $payload_files; do cp "$stage/$file" "$OUT/mender/$NAME/"; done
mv "$stage/$NAME.mender" "$OUT/$NAME.mender"
echo "$OUT/$NAME.mender"
