#include "reference_count.h"

#include <stdio.h>

#include <algorithm>

int CountSpacesByteLoop(const char *path, long long *pCount)
{
    FILE *fp = fopen(path, "rt");
    if (fp == NULL)
        return 0;
    long long count = 0;
    while (!feof(fp)) {
        // Taken as a signed byte, as the original loop did; EOF is not a space.
        if ((signed char)fgetc(fp) == 0x20)
            ++count;
        if (ferror(fp))
            break;
    }
    fclose(fp);
    *pCount = count;
    return 1;
}

unsigned long long CountSpacesBeforeCtrlZ(const unsigned char *pb, size_t cb, int *pfEnd)
{
    const unsigned char *pbEnd = std::find(pb, pb + cb, 0x1A);
    if (pfEnd != NULL)
        *pfEnd = pbEnd != pb + cb;
    return (unsigned long long)std::count(pb, pbEnd, 0x20);
}
