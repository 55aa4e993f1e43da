// The questions the counter asks about the processor, behind a seam so that
// the counter itself needs no platform header.
#pragma once

// Nonzero when SSE2 instructions may be used.
int CpuHasSse2(void);
// Nonzero when AVX2 instructions may be used: the processor has them and the
// system keeps their registers.
int CpuHasAvx2(void);
