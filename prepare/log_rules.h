// What the log may be: who may own it and whom its list may let in.
#pragma once

#include <windows.h>

#include <stddef.h>

// The longest SID as text, with its NUL.
static const size_t SID_TEXT_CHARS = 192;

// The SID as text into wsz (SID_TEXT_CHARS); "" where it cannot be had.
const wchar_t *SidText(PSID pSid, wchar_t *wsz);
// Whether pSid may own the log: Administrators or SYSTEM (under Wine, the
// user it runs as).
BOOL IsTrustedOwner(PSID pSid);
// Whether an entry of the list, its own or inherited, grants anything to one
// the log's own list (for the service of pServiceSid) does not name; who, as
// text, into wszWho (SID_TEXT_CHARS).
BOOL GrantsOthers(PACL pDacl, PSID pServiceSid, wchar_t *wszWho);
// What stands under the log's name, for the lines that say so.
const char *KindOf(DWORD dwAttributes);
