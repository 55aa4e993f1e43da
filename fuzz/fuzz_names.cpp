// The opener's text rules on arbitrary names. Input: 1 byte that chooses the
// room given for the result, then UTF-16LE characters: the full path, which
// is also judged as what an open reached. Each answer must be the oracle's:
// the documented rule stated again apart from the rules' code, on whole
// strings split at backslashes, and itself held first to a table of known
// answers.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wctype.h>

#include <string>
#include <vector>

#include "count/names.h"

static void Require(bool fOk, const char *szWhat, const std::wstring &name)
{
    if (fOk)
        return;
    fprintf(stderr, "fuzz_names: %s: %ls\n", szWhat, name.c_str());
    abort();
}

static std::wstring Lower(std::wstring s)
{
    for (wchar_t &ch : s)
        ch = (ch >= L'A' && ch <= L'Z') ? (wchar_t)(ch + 32) : ch;
    return s;
}

static std::vector<std::wstring> Split(const std::wstring &s)
{
    std::vector<std::wstring> parts(1);
    for (wchar_t ch : s)
        ch == L'\\' ? parts.emplace_back() : parts.back().push_back(ch);
    return parts;
}

static bool Starts(const std::wstring &s, const std::wstring &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// "X:\...", the root alone too. The long form's "UNC" as documented, in capitals.
static bool OnADrive(const std::wstring &s)
{
    return s.size() >= 3 && iswalpha(s[0]) && s[0] < 0x80 && s[1] == L':' && s[2] == L'\\';
}

// "server\share[\...]": both named, and the share none of a server's pipes,
// mailslots or IPC$.
static bool OnAShare(const std::wstring &s)
{
    std::vector<std::wstring> parts = Split(s);
    if (parts.size() < 2 || parts[0].empty() || parts[1].empty())
        return false;
    std::wstring share = Lower(parts[1]);
    return share != L"pipe" && share != L"mailslot" && share != L"ipc$";
}

// The name the open gets, or "" for refused: a file on a drive or a share,
// in the long form from 248 characters (MAX_PATH less room for 8.3) on; the
// long form as given; a drive through \\.\ with something after its root.
static std::wstring Expected(const std::wstring &full)
{
    const size_t LONG_FROM = 248;
    if (Starts(full, L"\\\\?\\")) {
        std::wstring rest = full.substr(4);
        return OnADrive(rest) || (Starts(rest, L"UNC\\") && OnAShare(rest.substr(4))) ? full : L"";
    }
    if (Starts(full, L"\\\\.\\")) {
        std::wstring path = full.substr(4);
        if (!OnADrive(path) || path.size() == 3)
            return L"";
        return path.size() >= LONG_FROM ? L"\\\\?\\" + path : path;
    }
    if (Starts(full, L"\\\\"))
        return !OnAShare(full.substr(2)) ? L"" : full.size() >= LONG_FROM ? L"\\\\?\\UNC" + full.substr(1) : full;
    if (!OnADrive(full))
        return L"";
    return full.size() >= LONG_FROM ? L"\\\\?\\" + full : full;
}

// Whether what an open reached is a file: below a device with something after
// it, but not a pipe, a mailslot, a shadow copy or a disk's own objects
// (HarddiskN); or Wine's drive path with something after its root.
static bool ExpectedFile(const std::wstring &nt)
{
    if (Starts(nt, L"\\??\\"))
        return OnADrive(nt.substr(4)) && nt.size() > 7;
    std::vector<std::wstring> parts = Split(nt);
    if (parts.size() < 4 || !parts[0].empty() || parts[1] != L"Device" ||
        (parts.size() == 4 && parts[3].empty()))
        return false;
    std::wstring device = Lower(parts[2]);
    return !device.empty() && device != L"namedpipe" && device != L"mailslot" &&
           !Starts(device, L"harddiskvolumeshadowcopy") &&
           !(Starts(device, L"harddisk") && device.size() > 8 && device[8] >= L'0' && device[8] <= L'9');
}

static std::wstring Answer(const std::wstring &full, size_t cchRoom)
{
    std::vector<wchar_t> name(cchRoom, L'\x2603');
    if (!NameToOpenFromFull(full.c_str(), name.data(), cchRoom))
        return L"";
    size_t cch = 0;
    while (cch < cchRoom && name[cch] != L'\0')
        ++cch;
    Require(cch < cchRoom, "the name overran its room", full);
    return std::wstring(name.data(), cch);
}

// The oracle, against answers known from the rule's documentation.
static void CheckOracle(void)
{
    const std::wstring longer(300, L'x');
    const struct {
        const wchar_t *wszFull, *wszName;
    } names[] = {{L"C:\\a.txt", L"C:\\a.txt"}, {L"\\\\srv\\dept\\a", L"\\\\srv\\dept\\a"},
                 {L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"}, {L"\\\\?\\UNC\\srv\\d\\a", L"\\\\?\\UNC\\srv\\d\\a"},
                 {L"\\\\.\\C:\\a", L"C:\\a"}, {L"\\\\.\\C:\\", L""}, {L"\\\\.\\C:", L""},
                 {L"\\\\.\\PhysicalDrive0", L""}, {L"\\\\?\\GLOBALROOT\\Device\\X", L""},
                 {L"\\\\srv\\PIPE\\x", L""}, {L"\\\\srv\\MailSlot\\x", L""}, {L"\\\\srv\\ipc$\\x", L""},
                 {L"\\\\?\\UNC\\srv\\pipe\\x", L""}, {L"\\\\srv\\", L""}, {L"\\\\srv", L""},
                 {L"\\\\.\\NUL", L""}, {L"\\\\.\\pipe\\x", L""}, {L"a.txt", L""}};
    for (const auto &n : names)
        Require(Expected(n.wszFull) == n.wszName, "the oracle's name is not the known one", n.wszFull);
    Require(Expected(L"C:\\" + longer) == L"\\\\?\\C:\\" + longer, "the oracle's long form", longer);
    Require(Expected(L"\\\\s\\d\\" + longer) == L"\\\\?\\UNC\\s\\d\\" + longer, "the oracle's long share",
            longer);
    const struct {
        const wchar_t *wszNt;
        bool fFile;
    } reached[] = {{L"\\Device\\HarddiskVolume1\\d\\f", true}, {L"\\Device\\Mup\\h\\s\\f", true},
                   {L"\\??\\C:\\f", true}, {L"\\Device\\HarddiskVolume1", false},
                   {L"\\Device\\HarddiskVolume1\\", false}, {L"\\Device\\NamedPipe\\x", false},
                   {L"\\Device\\Mailslot\\x", false}, {L"\\Device\\HarddiskVolumeShadowCopy1\\f", false},
                   {L"\\Device\\Harddisk0\\DR0", false}, {L"\\??\\C:\\", false},
                   {L"\\RPC Control\\x", false}, {L"", false}};
    for (const auto &r : reached)
        Require(ExpectedFile(r.wszNt) == r.fFile, "the oracle's judgement is not the known one", r.wszNt);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbInput, size_t cbInput)
{
    static bool fChecked = (CheckOracle(), true);
    (void)fChecked;
    if (cbInput < 1)
        return 0;
    size_t cchRoom = 1 + pbInput[0] % OPEN_NAME_CHARS;
    std::wstring full;
    for (size_t i = 1; i + 1 < cbInput; i += 2) {
        wchar_t ch = (wchar_t)(pbInput[i] | pbInput[i + 1] << 8);
        if (ch == L'\0')
            break;
        full.push_back(ch);
    }
    std::wstring expected = Expected(full);
    if (expected.size() >= cchRoom)
        expected.clear();
    Require(Answer(full, cchRoom) == expected, "the name is not the oracle's", full);
    Require((IsFileBelowDevice(full.c_str()) != 0) == ExpectedFile(full), "the judgement is not the oracle's",
            full);
    return 0;
}
