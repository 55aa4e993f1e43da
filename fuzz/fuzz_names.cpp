// The opener's text rules on arbitrary names. Input: 1 byte that chooses the
// room given for the result, then UTF-16LE characters: the full path, which
// is also judged as what an open reached. A name the rules pass must be a
// file on a drive or a share, in a form the open takes as it is, ending in
// the text it was made from; never a device, a pipe's or mailslot's share.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "open/names.h"

static void Require(int fOk, const char *szWhat)
{
    if (fOk)
        return;
    fprintf(stderr, "fuzz_names: %s\n", szWhat);
    abort();
}

static int StartsWith(const wchar_t *wsz, const wchar_t *wszPrefix)
{
    return wcsncmp(wsz, wszPrefix, wcslen(wszPrefix)) == 0;
}

static int IsDrive(const wchar_t *wsz)
{
    return ((wsz[0] | 0x20) >= L'a' && (wsz[0] | 0x20) <= L'z') && wsz[1] == L':' &&
           wsz[2] == L'\\';
}

// "server\share..." whose share is none of the server's pipes, mailslots or IPC$.
static int IsFileShare(const wchar_t *wsz)
{
    const wchar_t *pSep = wcschr(wsz, L'\\');
    if (pSep == NULL || pSep == wsz || pSep[1] == L'\0' || pSep[1] == L'\\')
        return 0;
    char szShare[10] = "";
    size_t cch = wcscspn(pSep + 1, L"\\");
    for (size_t i = 0; i < cch && i + 1 < sizeof szShare; ++i) {
        wchar_t ch = pSep[1 + i];
        szShare[i] = (char)(ch >= 0x80 ? '?' : (ch >= L'A' && ch <= L'Z') ? ch | 0x20 : ch);
    }
    return !((cch == 4 && strcmp(szShare, "pipe") == 0) ||
             (cch == 8 && strcmp(szShare, "mailslot") == 0) ||
             (cch == 4 && strcmp(szShare, "ipc$") == 0));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbInput, size_t cbInput)
{
    if (cbInput < 1)
        return 0;
    size_t cchRoom = 1 + pbInput[0] % OPEN_NAME_CHARS;
    size_t cchText = (cbInput - 1) / 2;
    wchar_t *wszFull = (wchar_t *)calloc(cchText + 1, sizeof(wchar_t));
    wchar_t *wszName = (wchar_t *)malloc(cchRoom * sizeof(wchar_t));
    Require(wszFull != NULL && wszName != NULL, "out of memory");
    for (size_t i = 0; i < cchText; ++i)
        wszFull[i] = (wchar_t)(pbInput[1 + 2 * i] | pbInput[2 + 2 * i] << 8);
    size_t cchFull = wcslen(wszFull);

    if (NameToOpenFromFull(wszFull, wszName, cchRoom)) {
        size_t cchName = wcsnlen(wszName, cchRoom);
        Require(cchName < cchRoom, "the name overran its room");
        // The plain form, less what the long form put in front.
        const wchar_t *wszPlain = wszName;
        int fShare = 0;
        if (StartsWith(wszName, L"\\\\?\\UNC\\")) {
            wszPlain = wszName + 8;
            fShare = 1;
        } else if (StartsWith(wszName, L"\\\\?\\")) {
            wszPlain = wszName + 4;
        } else if (StartsWith(wszName, L"\\\\")) {
            wszPlain = wszName + 2;
            fShare = 1;
        }
        Require(fShare ? IsFileShare(wszPlain) : IsDrive(wszPlain),
                "passed neither a drive nor a share");
        size_t cchPlain = wcslen(wszPlain);
        Require(cchPlain <= cchFull && wcscmp(wszPlain, wszFull + cchFull - cchPlain) == 0,
                "the name is not the text it was made from");
    }

    if (IsFileBelowDevice(wszFull)) {
        Require(StartsWith(wszFull, L"\\Device\\") ||
                    (StartsWith(wszFull, L"\\??\\") && IsDrive(wszFull + 4) && cchFull > 7),
                "a file neither below a device nor on a drive");
        Require(!StartsWith(wszFull, L"\\Device\\NamedPipe\\") &&
                    !StartsWith(wszFull, L"\\Device\\Mailslot\\"),
                "a pipe or a mailslot passed");
    }
    free(wszFull);
    free(wszName);
    return 0;
}
