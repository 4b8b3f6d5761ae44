// libarchive is linked into this library from its static archive with malloc, calloc and
// realloc routed here. It believes sizes from hostile archives (a filter program's static
// data, a name length, a copy buffer for a header), and when such an allocation fails in
// a string it ends the process. No valid rar archive needs a block larger than the RAR 4
// PPMd model (256 MB at most), so larger requests fail here, libarchive reports damage,
// and it neither takes gigabytes nor spends seconds filling them.
#include <cerrno>
#include <cstddef>

#include "ArchiveMemory.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);

void* __wrap_malloc(size_t size) {
    if (size > rarvol::kMaxArchiveBlock) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size) {
    if (size != 0 && count > rarvol::kMaxArchiveBlock / size) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_calloc(count, size);
}

void* __wrap_realloc(void* p, size_t size) {
    if (size > rarvol::kMaxArchiveBlock) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_realloc(p, size);
}
}
