// The text rules of the opener: which names a client may have counted, judged
// on the text alone before Windows resolves anything. No platform header, so
// they build, and are fuzzed, natively too.
#pragma once

#include <stddef.h>
#include <wchar.h>

// What the opener takes: a name of at most this many bytes of the ANSI code
// page, without its NUL; a longer one is refused, never cut.
static const size_t OPEN_PATH_MAX_BYTES = 512;
// MAX_PATH: where the plain calls stop.
static const size_t PLAIN_PATH_MAX_CHARS = 260;
// The full path of the longest name under a current directory of up to
// MAX_PATH, and the long form's prefix (8 characters): room for every name
// the rules pass.
static const size_t OPEN_NAME_CHARS = OPEN_PATH_MAX_BYTES + PLAIN_PATH_MAX_CHARS + 8;

// From a full path (what GetFullPathNameW made of the client's text), the
// name to hand to the open, in wszName (cchName characters): only a file on a
// drive or on a share, in the long form where long. Returns zero for a name
// refused, or one that does not fit.
int NameToOpenFromFull(const wchar_t *wszFull, wchar_t *wszName, size_t cchName);

// Whether an NT path (what an open handle reached) is a file below a device:
// not a device or volume alone, a pipe, a mailslot, a shadow copy or a disk's
// own objects.
int IsFileBelowDevice(const wchar_t *wszNtPath);
