// The opener's text rules on arbitrary names. Input: 1 byte that chooses the
// room given for the result, then UTF-16LE characters: the full path, which
// is also judged as what an open reached. Each answer, passed or refused,
// must be the oracle's: the documented rule stated again apart from the
// rules' code, on whole strings split at backslashes. The known answers that
// hold the rule itself are the suite's (CountFiles.OnlyFilesOnADriveOrAShare-
// ReachTheOpen, CountFiles.WhatTheOpenReachedDecides).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "open/names.h"

typedef std::wstring Text;

static Text Lower(Text s)
{
    for (wchar_t &ch : s)
        ch = (ch >= L'A' && ch <= L'Z') ? (wchar_t)(ch + 32) : ch;
    return s;
}

static std::vector<Text> Split(const Text &s)
{
    std::vector<Text> parts(1);
    for (wchar_t ch : s)
        ch == L'\\' ? parts.emplace_back() : parts.back().push_back(ch);
    return parts;
}

static bool Starts(const Text &s, const Text &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// "X:\...", the root alone too.
static bool OnADrive(const Text &s)
{
    return s.size() >= 3 && ((s[0] | 0x20) >= L'a' && (s[0] | 0x20) <= L'z') && s[1] == L':' &&
           s[2] == L'\\';
}

// "server\share[\...]", both named, the share none of a server's pipes,
// mailslots or IPC$.
static bool OnAShare(const Text &s)
{
    std::vector<Text> parts = Split(s);
    Text share = parts.size() < 2 || parts[0].empty() ? L"" : Lower(parts[1]);
    return !share.empty() && share != L"pipe" && share != L"mailslot" && share != L"ipc$";
}

// The name the open gets, "" for refused: a file on a drive or a share, in
// the long form from 248 characters (MAX_PATH less room for 8.3) on; the long
// form ("UNC" as documented) as given; a drive through \\.\ with a path.
static Text Expected(const Text &full)
{
    const size_t LONG_FROM = 248;
    Text rest = full.size() >= 4 ? full.substr(4) : L"";
    if (Starts(full, L"\\\\?\\"))
        return OnADrive(rest) || (Starts(rest, L"UNC\\") && OnAShare(rest.substr(4))) ? full : L"";
    if (Starts(full, L"\\\\.\\"))
        return !OnADrive(rest) || rest.size() == 3 ? L""
               : rest.size() >= LONG_FROM          ? L"\\\\?\\" + rest
                                                   : rest;
    if (Starts(full, L"\\\\"))
        return !OnAShare(full.substr(2))    ? L""
               : full.size() >= LONG_FROM ? L"\\\\?\\UNC" + full.substr(1)
                                          : full;
    return !OnADrive(full) ? L"" : full.size() >= LONG_FROM ? L"\\\\?\\" + full : full;
}

// Whether an open reached a file: below a device with something after it,
// not a pipe, mailslot, shadow copy or a disk's own objects (HarddiskN); or
// Wine's drive path with something after its root.
static bool ExpectedFile(const Text &nt)
{
    if (Starts(nt, L"\\??\\"))
        return OnADrive(nt.substr(4)) && nt.size() > 7;
    std::vector<Text> parts = Split(nt);
    if (parts.size() < 4 || !parts[0].empty() || parts[1] != L"Device" ||
        (parts.size() == 4 && parts[3].empty()))
        return false;
    Text device = Lower(parts[2]);
    return !device.empty() && device != L"namedpipe" && device != L"mailslot" &&
           !Starts(device, L"harddiskvolumeshadowcopy") &&
           !(Starts(device, L"harddisk") && device.size() > 8 && device[8] >= L'0' && device[8] <= L'9');
}

static void Require(bool fOk, const char *szWhat, const Text &name)
{
    if (!fOk) {
        fprintf(stderr, "fuzz_names: %s: %ls\n", szWhat, name.c_str());
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbInput, size_t cbInput)
{
    if (cbInput < 1)
        return 0;
    size_t cchRoom = 1 + pbInput[0] % OPEN_NAME_CHARS;
    Text full;
    for (size_t i = 1; i + 1 < cbInput && (pbInput[i] | pbInput[i + 1]) != 0; i += 2)
        full.push_back((wchar_t)(pbInput[i] | pbInput[i + 1] << 8));
    Text expected = Expected(full);
    // Its room on the heap, so that a write past it is the sanitizer's to see.
    std::vector<wchar_t> name(cchRoom);
    Text answer = NameToOpenFromFull(full.c_str(), name.data(), cchRoom) ? name.data() : L"";
    Require(answer == (expected.size() < cchRoom ? expected : L""), "the name is not the oracle's", full);
    Require((IsFileBelowDevice(full.c_str()) != 0) == ExpectedFile(full),
            "the judgement is not the oracle's", full);
    return 0;
}
