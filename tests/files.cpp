// Real files on the prefix's C: drive, and the real log file read back.
#include "support.h"

#include <stdio.h>
#include <string.h>

#include "log/log.h"

static const char TEST_ROOT[] = "C:\\quorvel-tests";

static void RemoveTree(const std::string &dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (strcmp(fd.cFileName, ".") == 0 || strcmp(fd.cFileName, "..") == 0)
                continue;
            std::string path = dir + "\\" + fd.cFileName;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryA(dir.c_str());
}

std::string MakeTestDir(const char *szName)
{
    CreateDirectoryA(TEST_ROOT, NULL);
    std::string dir = std::string(TEST_ROOT) + "\\" + szName;
    RemoveTree(dir);
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
