// Real files on the prefix's C: drive, and the real log file read back.
#include "support.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "log/log.h"

static const char TEST_ROOT[] = "C:\\quorvel-tests";

DWORD RemoveAll(const std::string &path)
{
    // What a case may have left that would refuse the removal: an access list
    // (Windows checks it, Wine turns it into the file's mode) and the
    // read-only attribute, cleared before anything else.
    SetNamedSecurityInfoA((LPSTR)path.c_str(), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, NULL,
                          NULL, NULL, NULL);
    DWORD dwAttributes = GetFileAttributesA(path.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : GetLastError();
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    WIN32_FIND_DATAA fd;
    HANDLE hFind = (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? FindFirstFileA((path + "\\*").c_str(), &fd)
                       : INVALID_HANDLE_VALUE;
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (strcmp(fd.cFileName, ".") != 0 && strcmp(fd.cFileName, "..") != 0)
                RemoveAll(path + "\\" + fd.cFileName);
        } while (FindNextFileA(hFind, &fd));
        FindClose(hFind);
    }
    BOOL fRemoved = (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path.c_str())
                                                              : DeleteFileA(path.c_str());
    return fRemoved ? ERROR_SUCCESS : GetLastError();
}

std::string MakeTestDir(const char *szName)
{
    CreateDirectoryA(TEST_ROOT, NULL);
    std::string dir = std::string(TEST_ROOT) + "\\" + szName;
    RemoveAll(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

bool WriteWholeFile(const std::string &path, const std::string &bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == NULL)
        return false;
    bool fOk = fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return fclose(fp) == 0 && fOk;
}

std::string MakeLongPathFile(const std::string &dir, size_t cchMin, const std::string &bytes)
{
    std::string path = dir;
    for (char ch = 'a'; path.size() + sizeof "\\words.txt" <= cchMin; ++ch) {
        path += "\\" + std::string(60, ch);
        CreateDirectoryW((L"\\\\?\\" + std::wstring(path.begin(), path.end())).c_str(), NULL);
    }
    path += "\\words.txt";
    HANDLE hFile = CreateFileW((L"\\\\?\\" + std::wstring(path.begin(), path.end())).c_str(),
                               GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD cbWritten = 0;
    bool fOk = hFile != INVALID_HANDLE_VALUE &&
               WriteFile(hFile, bytes.data(), (DWORD)bytes.size(), &cbWritten, NULL) &&
               cbWritten == bytes.size();
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return fOk ? path : "";
}

std::string ReadWholeFile(const char *path)
{
    std::string bytes;
    FILE *fp = fopen(path, "rb");
    if (fp == NULL)
        return bytes;
    char block[4096];
    size_t cb;
    while ((cb = fread(block, 1, sizeof block, fp)) > 0)
        bytes.append(block, cb);
    fclose(fp);
    return bytes;
}

void DeleteLogFile(void)
{
    DeleteFileA(LOG_PATH);
}

std::string ReadLogFile(void)
{
    return ReadWholeFile(LOG_PATH);
}

std::string LogDacl(void)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    LPSTR szSddl = NULL;
    std::string dacl;
    if (GetNamedSecurityInfoA(LOG_PATH, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                              NULL, NULL, &pSd) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(
            pSd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &szSddl, NULL))
        dacl = szSddl;
    LocalFree(szSddl);
    LocalFree(pSd);
    return dacl;
}

std::vector<std::string> LogLines(bool *pfTorn)
{
    std::string text = ReadLogFile();
    if (pfTorn != NULL)
        *pfTorn = !text.empty() && (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0);
    std::vector<std::string> lines;
    size_t iStart = 0;
    for (;;) {
        size_t iEnd = text.find("\r\n", iStart);
        if (iEnd == std::string::npos)
            break;
        lines.push_back(text.substr(iStart, iEnd - iStart));
        iStart = iEnd + 2;
    }
    return lines;
}

std::vector<std::string> WithoutEarlyClient(const std::vector<std::string> &lines)
{
    std::vector<std::string> kept;
    for (const std::string &line : lines) {
        if (line != EARLY_CLIENT_LINE)
            kept.push_back(line);
    }
    return kept;
}

std::vector<std::string> WaitForLogLines(size_t nLines, DWORD dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    std::vector<std::string> lines = WithoutEarlyClient(LogLines());
    while (lines.size() < nLines && GetTickCount() - dwStart < dwTimeoutMs) {
        Sleep(10);
        lines = WithoutEarlyClient(LogLines());
    }
    return lines;
}
