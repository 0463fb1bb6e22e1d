#include "TLauncherApplication.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    // An installation passes thousands of chunk buffers of up to 16 MiB through the
    // heap. By default glibc maps each of them afresh and unmaps it on release, so every
    // chunk costs a page fault and a zeroed page per 4 KiB; kept in the heap, released
    // buffers are reused while still mapped. Peak memory stays what the pipeline holds.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
    return zarvo::launcher::runLauncher(argc, argv);
}
