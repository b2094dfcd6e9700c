// Firmware-file key material: the DUK area of a firmware file cleared.
//
// Result codes: positive, line + 1 of the "ERR[TLS]f(util)L<n>:" line logged.
#ifndef ZOR_DUK_AREA_H_
#define ZOR_DUK_AREA_H_

#include <cstdint>

// Zeroes the 2080-byte DUK area at offset 10240 of a firmware file (a shorter
// file grows to 12320 bytes). 0 cleared; 544 no buffer (L543); 550 the file
// cannot be opened (L549); 554 seek (L553), 556 write (L555), 558 flush
// (L557) or 560 close (L559) failed.
int32_t zor_hdcp22_fwle_clr_dukArea(const char* path);

#endif  // ZOR_DUK_AREA_H_
