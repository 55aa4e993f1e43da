// Counting the file a client names: open it through the platform's seam, then
// count it, giving up should a stop be requested.
#include "count.h"
#include "open.h"
#include "stop.h"

int CountSpaces(const char *path, unsigned long long *pCount)
{
    // Some runtimes treat an empty name as a fatal invalid parameter.
    if (path[0] == '\0')
        return 0;
    FILE *fp = OpenCountFile(path);
    if (fp == NULL)
        return 0;
    *pCount = 0;
    CountStatus status = CountStream(fp, pCount, &StopRequested);
    fclose(fp);
    return status == CountDone;
}
