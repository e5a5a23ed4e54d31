// Symbol visibility of the library's public API.  libblr is built with hidden
// visibility; only what is marked BLR_API is exported.
#ifndef BLR_BLREXPORT_H
#define BLR_BLREXPORT_H

#define BLR_API __attribute__((visibility("default")))

#endif  // BLR_BLREXPORT_H
