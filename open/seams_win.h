// The seams of the opener: the platform calls whose answers a test's model of
// Windows gives where Wine cannot, each alone in a file of its own
// (seam_*_win.cpp) that the model replaces at link time. Each takes the real
// call's arguments and holds nothing of ours; a model calls the platform in
// turn.
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

// What the two NT calls below answer, as documented; only the driver kit's
// headers declare them. A status below 0 is a failure.
struct NtObjectName { // OBJECT_NAME_INFORMATION: a UNICODE_STRING
    USHORT cbLength;
    USHORT cbMaximum;
    wchar_t *pwch;
};
struct NtIoStatus { // IO_STATUS_BLOCK
    void *pvStatus;
    ULONG_PTR uInformation;
};
struct NtFileDevice { // FILE_FS_DEVICE_INFORMATION
    ULONG dwDeviceType;
    ULONG dwCharacteristics;
};
static const int NT_OBJECT_NAME_INFORMATION = 1;
static const int NT_FILE_FS_DEVICE_INFORMATION = 4;
// What a seam answers where ntdll lacks its call.
static const LONG NT_STATUS_PROCEDURE_NOT_FOUND = (LONG)0xC000007A;

// NtQueryObject: the name an open handle's object was opened by, on its
// device ("\Device\HarddiskVolume1\dir\file"). Under Wine no name the text
// rules pass reaches anything but a local disk file.
LONG QueryObjectToCount(HANDLE hObject, int infoClass, void *pvInfo, ULONG cbInfo,
                        ULONG *pcbNeeded);
// NtQueryVolumeInformationFile: among others, the type and characteristics
// of the device a file lies on. Under Wine none is a redirector.
LONG QueryVolumeToCount(HANDLE hFile, NtIoStatus *pIo, void *pvInfo, ULONG cbInfo, int infoClass);
