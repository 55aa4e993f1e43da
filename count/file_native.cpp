// Counting a named file where there is no Windows (the native checks): the
// standard way, one block after another.
#include <stdio.h>

#include "count.h"
#include "file.h"
#include "../stop/stop.h"

// Small enough for the stack, which keeps this version free for any caller.
static const size_t NATIVE_BLOCK_SIZE = 64 * 1024;

int CountSpaces(const char *path, unsigned long long *pCount)
{
    // Some runtimes treat an empty name as a fatal invalid parameter.
    if (path[0] == '\0')
        return 0;
    FILE *fp = fopen(path, "rb");
    if (fp == NULL)
        return 0;
    unsigned char block[NATIVE_BLOCK_SIZE];
    unsigned long long count = 0;
    int fDone = 0;
    while (!fDone && !StopRequested) {
        size_t cbRead = fread(block, 1, sizeof block, fp);
        // A short read is the end of the file, or an error.
        fDone = CountBlock(block, cbRead, &count) || cbRead < sizeof block;
    }
    // An error must not be reported as a count.
    int fCounted = fDone && !ferror(fp);
    fclose(fp);
    *pCount = count;
    return fCounted;
}
