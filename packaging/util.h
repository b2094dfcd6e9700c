// The support library as one include, for programs that use the installed
// library: the log line and fatal stop, paths and files, text helpers, and
// the two launcher-folder and firmware-file operations that come with them.
#ifndef ZOR_UTIL_H_
#define ZOR_UTIL_H_

#include "config_dir.h"
#include "duk_area.h"
#include "files.h"
#include "log.h"
#include "text.h"

#endif  // ZOR_UTIL_H_
