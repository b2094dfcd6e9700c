// The trusted signing keys of a signing build (make SIGNING_PUBKEY=...),
// generated at build time from minisign public key files. Only a signing
// build has them; it refuses any bundle without a valid signature by one.
#ifndef ZOR_SIGNING_KEYS_H_
#define ZOR_SIGNING_KEYS_H_

#include <cstddef>

#include "bundle_sig.h"

extern const sig_public_key kTrustedSigningKeys[];
extern const size_t kTrustedSigningKeyCount;  // 1 to 8

#endif  // ZOR_SIGNING_KEYS_H_
