// The one pass both fast paths make, over registers of the width their lanes
// give (SSE2: 16 bytes, AVX2: 32): count 0x20 and watch for 0x1A together, as
// a second pass (memchr) for 0x1A would halve the speed. Included only by the
// file of each path, which alone is compiled with its instructions enabled.
#pragma once

#include <stddef.h>

#include "count.h"

// Lanes gives: Vector, Zero(), Splat(byte), Load(pb), Equal(a, b) (0xFF where
// equal), Or(a, b), Sub(a, b) (bytewise), Any(v) (a lane nonzero) and
// Fold(acc) (the sum of its byte lanes).
template <typename Lanes>
int CountBlockLanes(const unsigned char *pb, size_t cb, unsigned long long *pCount)
{
    typedef typename Lanes::Vector Vector;
    const size_t cbVector = sizeof(Vector), cbChunk = 4 * sizeof(Vector);
    const Vector vSpace = Lanes::Splat(0x20);
    const Vector vEnd = Lanes::Splat(0x1A);
    // Each byte lane of the accumulator gains at most 4 per chunk of four
    // registers, so it must be folded into the total before 256 / 4 chunks.
    const size_t nChunksPerFold = 63;
    unsigned long long total = 0;
    size_t i = 0;

    // A 0x1A is rare: it is gathered over a whole group of chunks and tested
    // once per group; the group that holds one is recounted byte by byte.
    while (cb - i >= cbChunk) {
        Vector acc = Lanes::Zero();
        Vector ends = Lanes::Zero();
        size_t iGroup = i;
        for (size_t nChunks = 0; nChunks < nChunksPerFold && cb - i >= cbChunk;
             ++nChunks, i += cbChunk) {
            Vector a = Lanes::Load(pb + i);
            Vector b = Lanes::Load(pb + i + cbVector);
            Vector c = Lanes::Load(pb + i + 2 * cbVector);
            Vector d = Lanes::Load(pb + i + 3 * cbVector);
            ends = Lanes::Or(ends, Lanes::Or(Lanes::Or(Lanes::Equal(a, vEnd), Lanes::Equal(b, vEnd)),
                                             Lanes::Or(Lanes::Equal(c, vEnd), Lanes::Equal(d, vEnd))));
            // A match is 0xFF, that is -1: subtracting it adds one.
            acc = Lanes::Sub(acc, Lanes::Equal(a, vSpace));
            acc = Lanes::Sub(acc, Lanes::Equal(b, vSpace));
            acc = Lanes::Sub(acc, Lanes::Equal(c, vSpace));
            acc = Lanes::Sub(acc, Lanes::Equal(d, vSpace));
        }
        if (Lanes::Any(ends)) {
            i = iGroup;
            break;
        }
        total += Lanes::Fold(acc);
    }

    *pCount += total;
    return CountBlockScalar(pb + i, cb - i, pCount);
}
