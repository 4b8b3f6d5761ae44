#ifndef VELLICOR_PAGES_JPEGDECODE_H
#define VELLICOR_PAGES_JPEGDECODE_H
/* JPEG decoding through libjpeg, kept in C: libjpeg reports errors by a long jump, which
 * must never cross a C++ frame. Every callback given here must return normally. */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reads up to size bytes into buffer; returns the count read, 0 at the end. */
typedef size_t (*vjpeg_read_fn)(void* user, unsigned char* buffer, size_t size);
/* Receives libjpeg's warnings and trace messages. */
typedef void (*vjpeg_message_fn)(void* user, const char* message);
/* Called between groups of rows while decoding: nonzero stops the decode, which fails. */
typedef int (*vjpeg_poll_fn)(void* user);
/* Receives the trace records ("Call" or "Return") of the decoder's whole steps. */
typedef void (*vjpeg_trace_fn)(const char* record, const char* label);

typedef struct vjpeg_limits {
    long max_memory;   /* bytes libjpeg may allocate for one image */
    int max_scans;     /* scans of a progressive image */
    int scale_limit;   /* decode at the largest of 1/1..1/8 at which both sides stay below */
    /* An output page over sparse_pixels (0: no limit) whose Huffman-coded data fills less
     * than a sixteenth of it is refused: by the size of the data of each scan that first
     * codes its components (a DC first or sequential scan, at a bit a block at least)
     * before that scan is decoded, and when that data runs out (end of file, a marker, an
     * empty restart interval) before the scan's first sixteenth. A file of several scans is
     * judged so by the coefficient blocks libjpeg keeps for it, 64 pixels each, at any
     * scale; one whose coefficients pass max_memory is refused before they are allocated.
     * Arithmetic-coded data may end anywhere a page is blank, so it is judged instead (at
     * any size, when sparse_pixels is set) by what its blocks decoded after the data ran out
     * make beyond blank blocks: past a small allowance the page is refused, or the rest of
     * a last scan that runs to the image's end is left as a cut file's. */
    int64_t sparse_pixels;
    /* A file of several scans is refused once its scans would walk more blocks than
     * max_block_walks times the blocks kept for it (0: no limit), or free_block_walks if
     * that is more: each scan walks all of its components' blocks whatever its data, and
     * the output all of them once more. The scans within the file's first 16 MB are counted
     * with the header, before anything is allocated; any later ones as they begin. */
    int max_block_walks;
    int64_t free_block_walks;
} vjpeg_limits;

typedef struct vjpeg_decoder vjpeg_decoder;

/* Null when out of memory. */
vjpeg_decoder* vjpeg_create(vjpeg_read_fn read, vjpeg_message_fn message, void* user, const vjpeg_limits* limits);
void vjpeg_destroy(vjpeg_decoder* d);
/* Installs the poll called while vjpeg_decode runs (null: none); user is passed to it. */
void vjpeg_set_poll(vjpeg_decoder* d, vjpeg_poll_fn poll, void* user);
/* Traces the entry points and the steps they take once each (reading ahead, a scan's
 * start); not what runs for every row or block (null: none). */
void vjpeg_set_trace(vjpeg_decoder* d, vjpeg_trace_fn trace);

/* Reads the header and chooses the scale. Returns 0 and the output size, or -1. */
int vjpeg_read_header(vjpeg_decoder* d, int* out_width, int* out_height, int* scale_denom);
/* Decodes into rows of 3 bytes per pixel (blue, green, red), the first row at rows,
 * each stride bytes apart. Returns 0 or -1. */
int vjpeg_decode(vjpeg_decoder* d, unsigned char* rows, ptrdiff_t stride);
/* The last error's text. */
const char* vjpeg_error(const vjpeg_decoder* d);

#ifdef __cplusplus
}
#endif

#endif
