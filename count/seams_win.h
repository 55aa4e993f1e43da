// The seams of counting a named file: three calls, each in a file of its own
// (seam_*_win.cpp), that a test's model of Windows replaces at link time
// where Wine cannot show the rule. Each forwards to the real call, which the
// models call too.
#pragma once

#include <windows.h>

// The characteristic of a redirector's device; only the driver kit's headers
// have it.
#ifndef FILE_REMOTE_DEVICE
#define FILE_REMOTE_DEVICE 0x00000010
#endif

// CreateFileW, the one call every name the text rules pass is handed to: under
// Wine no share or raw volume lets a test see which names reach it, nor does
// Wine act on the open's identification flags.
HANDLE CreateFileToCount(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare,
                         LPSECURITY_ATTRIBUTES psa, DWORD dwDisposition, DWORD dwFlags,
                         HANDLE hTemplate);

// What an open handle reached: the name of the object it opened, as
// NtQueryObject gives it ("\Device\HarddiskVolume1\dir\file"; NULL when it
// cannot be had or does not fit), and its device's type and characteristics
// (FILE_DEVICE_*, FILE_REMOTE_DEVICE, ...; fDeviceKnown FALSE when untold).
struct HandleReach {
    const wchar_t *wszName;
    BOOL fDeviceKnown;
    DWORD dwDeviceType;
    DWORD dwCharacteristics;
};
// What the judgement asks: under Wine no name the text rules pass reaches
// anything but a local disk file.
void AskHandleReach(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, HandleReach *pReach);
// The real questions, asked in pvBuffer (cbBuffer bytes), where the name is kept.
void QueryHandleReach(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, HandleReach *pReach);

// ReadFile at an offset; a read at 0 only as a fresh handle's first. No file
// system chooses which of the two workers reads a block first: a model holds
// one back, so that the helper's part is certain.
BOOL ReadFileAt(HANDLE hFile, ULONGLONG ibAt, void *pv, DWORD cb, DWORD *pcbRead);
// The real read.
BOOL ReadFileAtOffset(HANDLE hFile, ULONGLONG ibAt, void *pv, DWORD cb, DWORD *pcbRead);
