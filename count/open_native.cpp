// Builds other than Windows (the native checks) open files the standard way.
#include "open.h"

FILE *OpenCountFile(const char *path)
{
    return fopen(path, "rb");
}
