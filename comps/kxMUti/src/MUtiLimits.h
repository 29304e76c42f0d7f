/*
 * MUtiLimits.h - every bound the library enforces and the sizes its
 * buffers start at, in one place.  Each can be set at build time
 * (-DMUTI_SCRIPT_DEPTH_MAX=16, say); the defaults are what host programs
 * and scripts written for the board expect.
 */
#ifndef MUTI_LIMITS_H
#define MUTI_LIMITS_H

/*
 * Deepest nesting of script runs (source inside source).  Real scripts nest
 * a few levels; a script that sources itself would otherwise recurse until
 * the stack or the open-file limit gave out.  64 leaves room for any real
 * layout and stops a loop long before either runs out on the board.
 */
#ifndef MUTI_SCRIPT_DEPTH_MAX
#define MUTI_SCRIPT_DEPTH_MAX 64
#endif

/*
 * Longest parent chain a command search walks.  Chains are a handful of
 * contexts deep; one longer than this can only be a cycle a host made by
 * mistake, and the search gives up rather than spin for ever.
 */
#ifndef MUTI_CHAIN_MAX
#define MUTI_CHAIN_MAX 1024
#endif

/*
 * Characters a stream run reads at a time (fgets gets one more for the
 * NUL; the buffer has one spare byte after that).  A longer line reaches the
 * interpreter in pieces of this size, as it always has on the board, so
 * scripts that rely on the split keep working.
 */
#ifndef MUTI_LINE_READ_MAX
#define MUTI_LINE_READ_MAX 1023
#endif

/*
 * A context's working copy of its line: bytes it starts with and the step
 * it grows by.  One read's worth, so a script line never makes it grow.
 */
#ifndef MUTI_LINE_COPY_SIZE
#define MUTI_LINE_COPY_SIZE 1024
#endif

/*
 * Entries a context's word vector and list storage, and a command table,
 * start with.  Most lines have fewer than ten words and lists fewer than a
 * hundred elements, so a warm context seldom grows.
 */
#ifndef MUTI_WORDS_SIZE
#define MUTI_WORDS_SIZE 10
#endif
#ifndef MUTI_LIST_SIZE
#define MUTI_LIST_SIZE 100
#endif
#ifndef MUTI_DEFS_SIZE
#define MUTI_DEFS_SIZE 10
#endif

#endif /* MUTI_LIMITS_H */
