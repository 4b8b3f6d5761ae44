/* JPEG decoding through libjpeg (API 6). Errors long-jump back to the entry point that set
 * the jump buffer; only C frames lie in between. */
#include "pages/JpegDecode.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h>
#include <jerror.h>
#include <jpegint.h> /* the entropy decoder's two methods, wrapped for arithmetic coding */

#define VJPEG_BUFFER_SIZE 65536
#define VJPEG_ROWS_AT_ONCE 16
/* A file of several scans is read this far ahead to count its scans' work. Deflate packs
 * at most about 1000 to 1, so a zipped page of 10 KB unpacks to less. */
#define VJPEG_PRESCAN_BYTES ((size_t)16 << 20)

struct vjpeg_decoder {
    struct jpeg_decompress_struct cinfo;
    struct jpeg_error_mgr err;
    struct jpeg_source_mgr src;
    struct jpeg_progress_mgr progress;
    jmp_buf jump;
    int created;
    int header_read;
    vjpeg_read_fn read;
    vjpeg_message_fn message;
    void* user;
    vjpeg_poll_fn poll;
    void* poll_user;
    vjpeg_trace_fn trace;
    const char* step;        /* the traced step in progress below an entry point */
    int decoding;
    vjpeg_limits limits;
    /* The coded data of a large page's scan that first codes its components, watched as it
     * comes in. */
    int judging;             /* the current scan is such a scan */
    int watching;
    int after_ff;            /* the last byte seen was a 0xFF */
    int64_t data_bytes;      /* bytes of coded data so far, markers not counted */
    int64_t segment_bytes;   /* the same within the current restart interval */
    int64_t segment;         /* restart intervals begun */
    int64_t scan_mcus;
    int counts_fill;         /* the judged scan is its components' first (not a refinement) */
    int64_t filled_bytes;    /* data of the judged first scans before it */
    int64_t coef_blocks;     /* blocks libjpeg keeps for the whole image; 0: none kept */
    int scans_counted;       /* scans whose blocks are in walked_blocks */
    int64_t walked_blocks;   /* blocks the scans so far walk, and the output pass */
    JOCTET* ahead;           /* bytes read ahead of libjpeg to measure that data */
    int64_t read_total;      /* bytes read from the caller, libjpeg's or ahead */
    /* Arithmetic-coded scans: what the blocks decoded after their data ran out cost. */
    int fill_hooked;
    void (*start_pass)(j_decompress_ptr);
    boolean (*decode_mcu)(j_decompress_ptr, JBLOCKROW*);
    int fill_kind;           /* FILL_* of the current scan */
    int given_up;            /* the rest of the last scan is left as it is */
    int64_t scan_mcu;        /* MCUs of the current scan so far */
    int last_dc[MAX_COMPS_IN_SCAN];
    int64_t fill_work;       /* decisions the fill made beyond blank blocks' */
    int64_t walked;          /* blocks decoded in the arithmetic-coded scans */
    int64_t coded_bytes;     /* bytes the entropy decoder took for them */
    int band_end;            /* the scan's last coefficient in zigzag order */
    uint64_t band_words[16]; /* 0xFFFF in each coefficient of the scan's band, natural order */
    uint64_t mark_words[16]; /* the mark an untouched coefficient of the band holds */
    JCOEF mark;
    unsigned char* cmyk_row;
    char error[JMSG_LENGTH_MAX];
    JOCTET buffer[VJPEG_BUFFER_SIZE];
};

static vjpeg_decoder* decoder_of(j_common_ptr cinfo) { return (vjpeg_decoder*)cinfo->client_data; }

/* Steps below an entry point do not nest; an error's long jump ends the open one at the
 * entry point, so every Call gets its Return. */
static void step_in(vjpeg_decoder* d, const char* label) {
    d->step = label;
    if (d->trace) d->trace("Call", label);
}

static void step_out(vjpeg_decoder* d) {
    if (d->step && d->trace) d->trace("Return", d->step);
    d->step = NULL;
}

static void on_error_exit(j_common_ptr cinfo) {
    vjpeg_decoder* d = decoder_of(cinfo);
    (*cinfo->err->format_message)(cinfo, d->error);
    longjmp(d->jump, 1);
}

/* Warnings (level -1) and trace messages go to the caller's trace, never to stderr. */
static void on_output_message(j_common_ptr cinfo) {
    vjpeg_decoder* d = decoder_of(cinfo);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    if (d->message) d->message(d->user, text);
}

static void on_emit_message(j_common_ptr cinfo, int level) {
    struct jpeg_error_mgr* err = cinfo->err;
    if (level < 0) {
        /* Report the first warning and every one when tracing asks for it, as libjpeg does. */
        if (err->num_warnings == 0 || err->trace_level >= 3) (*err->output_message)(cinfo);
        err->num_warnings++;
    } else if (err->trace_level >= level) {
        (*err->output_message)(cinfo);
    }
}

static void check_scan_data(vjpeg_decoder* d, int at_end);
static void begin_scan(vjpeg_decoder* d);
static void watch_fill(vjpeg_decoder* d);

/* libjpeg calls this for every group of rows it outputs and every row of blocks it reads
 * ahead (all of a progressive image's scans), so the poll is never far away. For a file
 * of several scans it is called before each scan's first row, once the scan's header has
 * been read. */
static void on_progress(j_common_ptr cinfo) {
    vjpeg_decoder* d = decoder_of(cinfo);
    if (d->cinfo.input_scan_number > d->limits.max_scans) {
        snprintf(d->error, sizeof d->error, "JPEG image has more than %d scans", d->limits.max_scans);
        longjmp(d->jump, 1);
    }
    /* The first scan's entropy decoder has been set up, and nothing decoded yet. */
    if (d->decoding && !d->fill_hooked && d->cinfo.arith_code && d->limits.sparse_pixels > 0 && d->cinfo.entropy) {
        step_in(d, "JpegDecode::watch_fill");
        watch_fill(d);
        step_out(d);
    }
    if (d->decoding && d->cinfo.input_scan_number != d->scans_counted) {
        step_in(d, "JpegDecode::begin_scan");
        begin_scan(d);
        step_out(d);
    }
    if (d->decoding) check_scan_data(d, 0);
    if (d->decoding && d->poll && d->poll(d->poll_user)) {
        snprintf(d->error, sizeof d->error, "JPEG decoding stopped");
        longjmp(d->jump, 1);
    }
}

static int is_large_page(const vjpeg_decoder* d) {
    const struct jpeg_decompress_struct* c = &d->cinfo;
    return d->limits.sparse_pixels > 0 && (int64_t)c->output_width * (int64_t)c->output_height > d->limits.sparse_pixels;
}

/* A file of several scans has libjpeg keep every block's coefficients at full size, however
 * small the scale, so its memory follows the blocks: 64 pixels' worth each. */
static int has_large_coefficients(const vjpeg_decoder* d) {
    return d->limits.sparse_pixels > 0 && d->coef_blocks > d->limits.sparse_pixels / DCTSIZE2;
}

static int is_judged(const vjpeg_decoder* d) { return is_large_page(d) || has_large_coefficients(d); }

static void refuse_ends_early(vjpeg_decoder* d) {
    snprintf(d->error, sizeof d->error, "JPEG data ends before a sixteenth of the page");
    longjmp(d->jump, 1);
}

/* Within a judged scan the rows read so far are all its components will have once the
 * Huffman-coded data has run out: at the end of the file, or at a marker other than a
 * restart (libjpeg then decodes the missing data as zeros without a word). A large page
 * that few rows fill is not worth making. */
static void check_scan_data(vjpeg_decoder* d, int at_end) {
    const struct jpeg_decompress_struct* c = &d->cinfo;
    int marker = c->unread_marker;
    int restart = marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7 && c->restart_interval > 0;
    int ran_out = at_end || (marker != 0 && !restart);
    if (ran_out && d->decoding && d->judging && (int64_t)c->input_iMCU_row * 16 < (int64_t)c->total_iMCU_rows)
        refuse_ends_early(d);
}

/* Follows a judged scan's coded data: stuffed 0xFF 0x00 counts as a byte of data, restart
 * markers begin the next interval, any other marker ends the scan. A Huffman-coded interval
 * with no data is all zeros to libjpeg, however many blocks it covers: the data has run out
 * there (every block takes a bit at least). */
static void watch_bytes(vjpeg_decoder* d, const JOCTET* p, size_t n) {
    size_t i;
    for (i = 0; i < n && d->watching; ++i) {
        const int b = p[i];
        if (!d->after_ff) {
            if (b == 0xFF) d->after_ff = 1;
            else ++d->data_bytes, ++d->segment_bytes;
            continue;
        }
        if (b == 0xFF) continue; /* fill before a marker */
        d->after_ff = 0;
        if (b == 0) {
            ++d->data_bytes, ++d->segment_bytes;
        } else if (b >= JPEG_RST0 && b <= JPEG_RST0 + 7) {
            if (d->segment_bytes == 0 && d->segment * (int64_t)d->cinfo.restart_interval * 16 < d->scan_mcus)
                refuse_ends_early(d);
            d->segment_bytes = 0;
            ++d->segment;
        } else {
            d->watching = 0;
        }
    }
}

static void src_init(j_decompress_ptr cinfo) { (void)cinfo; }

static boolean src_fill(j_decompress_ptr cinfo) {
    vjpeg_decoder* d = decoder_of((j_common_ptr)cinfo);
    size_t n = d->read(d->user, d->buffer, VJPEG_BUFFER_SIZE);
    d->read_total += (int64_t)n;
    free(d->ahead); /* libjpeg has taken all of it */
    d->ahead = NULL;
    if (n == 0) {
        check_scan_data(d, 1);
        /* A truncated file ends as if an end-of-image marker followed, with a warning. */
        WARNMS(cinfo, JWRN_JPEG_EOF);
        d->buffer[0] = (JOCTET)0xFF;
        d->buffer[1] = (JOCTET)JPEG_EOI;
        n = 2;
    } else if (d->watching) {
        watch_bytes(d, d->buffer, n);
    }
    d->src.next_input_byte = d->buffer;
    d->src.bytes_in_buffer = n;
    return TRUE;
}

static void src_skip(j_decompress_ptr cinfo, long count) {
    vjpeg_decoder* d = decoder_of((j_common_ptr)cinfo);
    if (count <= 0) return;
    while ((size_t)count > d->src.bytes_in_buffer) {
        count -= (long)d->src.bytes_in_buffer;
        (void)src_fill(cinfo);
    }
    d->src.next_input_byte += count;
    d->src.bytes_in_buffer -= (size_t)count;
}

static void src_term(j_decompress_ptr cinfo) { (void)cinfo; }

static int create_body(vjpeg_decoder* d) {
    if (setjmp(d->jump)) return -1;
    jpeg_create_decompress(&d->cinfo);
    d->created = 1;
    return 0;
}

vjpeg_decoder* vjpeg_create(vjpeg_read_fn read, vjpeg_message_fn message, void* user, const vjpeg_limits* limits) {
    vjpeg_decoder* d = (vjpeg_decoder*)calloc(1, sizeof *d);
    if (!d) return NULL;
    d->read = read;
    d->message = message;
    d->user = user;
    d->limits = *limits;
    d->cinfo.err = jpeg_std_error(&d->err);
    d->err.error_exit = on_error_exit;
    d->err.output_message = on_output_message;
    d->err.emit_message = on_emit_message;
    d->cinfo.client_data = d;
    if (create_body(d) != 0) {
        jpeg_destroy_decompress(&d->cinfo);
        free(d);
        return NULL;
    }
    d->cinfo.mem->max_memory_to_use = limits->max_memory;
    d->src.init_source = src_init;
    d->src.fill_input_buffer = src_fill;
    d->src.skip_input_data = src_skip;
    d->src.resync_to_restart = jpeg_resync_to_restart;
    d->src.term_source = src_term;
    d->cinfo.src = &d->src;
    d->progress.progress_monitor = on_progress;
    d->cinfo.progress = &d->progress;
    return d;
}

void vjpeg_set_poll(vjpeg_decoder* d, vjpeg_poll_fn poll, void* user) {
    d->poll = poll;
    d->poll_user = user;
}

void vjpeg_set_trace(vjpeg_decoder* d, vjpeg_trace_fn trace) { d->trace = trace; }

void vjpeg_destroy(vjpeg_decoder* d) {
    if (!d) return;
    if (d->created) jpeg_destroy_decompress(&d->cinfo);
    free(d->cmyk_row);
    free(d->ahead);
    free(d);
}

const char* vjpeg_error(const vjpeg_decoder* d) { return d->error; }

/* Blocks of a scan of these components: a single component's own, or whole MCUs of those
 * interleaved. */
static int64_t blocks_of(const struct jpeg_decompress_struct* c, jpeg_component_info* const* comps, int n, int64_t* mcus) {
    int64_t in_mcu = 0;
    int i;
    if (n == 1) {
        *mcus = (int64_t)comps[0]->width_in_blocks * (int64_t)comps[0]->height_in_blocks;
        return *mcus;
    }
    for (i = 0; i < n; ++i) in_mcu += (int64_t)comps[i]->h_samp_factor * comps[i]->v_samp_factor;
    *mcus = (int64_t)((c->image_width + 8 * c->max_h_samp_factor - 1) / (8 * c->max_h_samp_factor)) *
            (int64_t)c->total_iMCU_rows;
    return *mcus * in_mcu;
}

static int64_t scan_blocks(const struct jpeg_decompress_struct* c, int64_t* mcus) {
    return blocks_of(c, c->cur_comp_info, c->comps_in_scan, mcus);
}

/* The work of a scan in blocks walked. A refinement scan of AC also looks through each
 * block's coefficients up to its band's end for the nonzero ones: up to eight times a plain
 * walk's work. */
static int64_t walks_of(const struct jpeg_decompress_struct* c, jpeg_component_info* const* comps, int n, int ss, int se, int ah) {
    int64_t mcus, blocks = blocks_of(c, comps, n, &mcus);
    return blocks + (ss > 0 && ah > 0 ? blocks * se / 8 : 0);
}

static int64_t most_walks(const vjpeg_decoder* d) {
    int64_t most = d->coef_blocks * d->limits.max_block_walks;
    return most < d->limits.free_block_walks ? d->limits.free_block_walks : most;
}

static void refuse_walks(vjpeg_decoder* d) {
    snprintf(d->error, sizeof d->error, "JPEG image has too many scans for its size");
    longjmp(d->jump, 1);
}

/* Moves the bytes libjpeg has not taken yet into a buffer of our own with room for more. */
static void take_ahead(vjpeg_decoder* d, size_t have, size_t room) {
    JOCTET* ahead = (JOCTET*)malloc(room);
    if (!ahead) ERREXIT1(&d->cinfo, JERR_OUT_OF_MEMORY, 0);
    if (have) memcpy(ahead, d->src.next_input_byte, have);
    free(d->ahead); /* what is left of it was copied */
    d->ahead = ahead;
}

/* Reads one more piece behind the have bytes of the buffer, doubling it when full but
 * never past what a look of most bytes needs (it reads only while have < most). */
static size_t read_ahead(vjpeg_decoder* d, size_t have, size_t* room, size_t most) {
    size_t n;
    if (*room - have < VJPEG_BUFFER_SIZE) {
        size_t grow = *room * 2;
        JOCTET* grown;
        if (grow > most + VJPEG_BUFFER_SIZE) grow = most + VJPEG_BUFFER_SIZE;
        if (grow < have + VJPEG_BUFFER_SIZE) grow = have + VJPEG_BUFFER_SIZE;
        grown = (JOCTET*)realloc(d->ahead, grow);
        if (!grown) ERREXIT1(&d->cinfo, JERR_OUT_OF_MEMORY, 0);
        d->ahead = grown;
        *room = grow;
    }
    n = d->read(d->user, d->ahead + have, VJPEG_BUFFER_SIZE);
    d->read_total += (int64_t)n;
    return n;
}

/* Reads the file ahead of libjpeg up to VJPEG_PRESCAN_BYTES and adds up what the scans
 * found there will walk, so that a file of many scans is refused before its coefficients
 * are allocated and filled; scans past that point are counted as they begin (begin_scan).
 * Anything malformed ends the count: libjpeg will judge it. */
static void prescan_walks(vjpeg_decoder* d) {
    struct jpeg_decompress_struct* c = &d->cinfo;
    size_t have = d->src.bytes_in_buffer, room = have + VJPEG_BUFFER_SIZE, i = 0;
    int64_t walks = d->coef_blocks + walks_of(c, c->cur_comp_info, c->comps_in_scan, c->Ss, c->Se, c->Ah);
    const int64_t most = most_walks(d);
    int scans = 1;
    const JOCTET* p;
    take_ahead(d, have, room);
    while (have < VJPEG_PRESCAN_BYTES) {
        size_t n = read_ahead(d, have, &room, VJPEG_PRESCAN_BYTES);
        if (n == 0) break;
        have += n;
    }
    d->src.next_input_byte = d->ahead;
    d->src.bytes_in_buffer = have;
    p = d->ahead;
    if (walks > most) refuse_walks(d);
    for (;;) {
        int m;
        size_t len;
        /* Coded data (and fill) up to the next marker that is not a restart. */
        while (i + 1 < have && !(p[i] == 0xFF && p[i + 1] != 0 && p[i + 1] != 0xFF && (p[i + 1] < JPEG_RST0 || p[i + 1] > JPEG_RST0 + 7))) ++i;
        if (i + 3 >= have) return;
        m = p[i + 1];
        if (m == JPEG_EOI) return;
        len = (size_t)p[i + 2] << 8 | p[i + 3];
        i += 2;
        if (len < 2 || i + len > have) return;
        if (m == 0xDA) { /* SOS */
            jpeg_component_info* comps[MAX_COMPS_IN_SCAN];
            int ncomps, k, ci;
            if (len < 8) return;
            ncomps = p[i + 2];
            if (ncomps < 1 || ncomps > MAX_COMPS_IN_SCAN || len != (size_t)(6 + 2 * ncomps)) return;
            for (k = 0; k < ncomps; ++k) {
                for (ci = 0; ci < c->num_components && c->comp_info[ci].component_id != p[i + 3 + 2 * k]; ++ci) {}
                if (ci == c->num_components) return;
                comps[k] = &c->comp_info[ci];
            }
            if (++scans > d->limits.max_scans) {
                snprintf(d->error, sizeof d->error, "JPEG image has more than %d scans", d->limits.max_scans);
                longjmp(d->jump, 1);
            }
            walks += walks_of(c, comps, ncomps, p[i + 3 + 2 * ncomps], p[i + 4 + 2 * ncomps], p[i + 5 + 2 * ncomps] >> 4);
            if (walks > most) refuse_walks(d);
        }
        i += len;
    }
}

/* Huffman coding spends a bit at least on each block of a DC or sequential scan, so such a
 * scan of a large page is judged by its data; arithmetic coding and AC scans can spend
 * far less on blank blocks. */
static int is_judged_scan(const vjpeg_decoder* d) {
    const struct jpeg_decompress_struct* c = &d->cinfo;
    return is_judged(d) && !c->arith_code && c->Ss == 0;
}

/* Reads a judged scan's coded data ahead of libjpeg, as far as its sixteenth could need,
 * and refuses the page when it cannot be there; while the scan is decoded its data running
 * out decides (check_scan_data). Only the scan's own blocks count: its components' other
 * scans are judged by theirs. */
static void measure_scan(vjpeg_decoder* d) {
    struct jpeg_decompress_struct* c = &d->cinfo;
    int64_t blocks, want;
    size_t have = d->src.bytes_in_buffer, most;
    if (d->counts_fill) d->filled_bytes += d->data_bytes; /* what the previous such scan held */
    d->data_bytes = d->segment_bytes = d->segment = 0;
    d->after_ff = 0;
    d->counts_fill = c->Ah == 0;
    blocks = scan_blocks(c, &d->scan_mcus);
    want = (blocks + 127) / 128;
    /* Real data is at most four times its own size with stuffed bytes and restart markers
     * counted; past that the rest is fill and markers. */
    most = (size_t)want * 4 + 2 * VJPEG_BUFFER_SIZE;
    d->watching = 1;
    watch_bytes(d, d->src.next_input_byte, have);
    if (d->watching && d->data_bytes < want && have < most) { /* not read far enough ahead yet */
        size_t room = have + VJPEG_BUFFER_SIZE;
        take_ahead(d, have, room);
        while (d->watching && d->data_bytes < want && have < most) {
            size_t n = read_ahead(d, have, &room, most);
            if (n == 0) break;
            watch_bytes(d, d->ahead + have, n);
            have += n;
        }
        d->src.next_input_byte = d->ahead;
        d->src.bytes_in_buffer = have;
    }
    if (d->data_bytes < want) {
        snprintf(d->error, sizeof d->error, "JPEG data too small for a sixteenth of the page");
        longjmp(d->jump, 1);
    }
}

/* Before a scan's first row is read. Every scan walks all of its components' blocks (a
 * refinement scan of end-of-band runs too, each in a few bytes), so a file of several
 * scans is bounded by the blocks its scans walk; judged scans are measured. */
static void begin_scan(vjpeg_decoder* d) {
    struct jpeg_decompress_struct* c = &d->cinfo;
    int i;
    const int first = d->scans_counted == 0;
    d->scans_counted = c->input_scan_number;
    if (d->coef_blocks > 0 && d->limits.max_block_walks > 0) {
        d->walked_blocks += walks_of(c, c->cur_comp_info, c->comps_in_scan, c->Ss, c->Se, c->Ah);
        if (first) d->walked_blocks += d->coef_blocks; /* the output pass */
        if (d->walked_blocks > most_walks(d)) refuse_walks(d);
    }
    if (first) return; /* measured with the header */
    if (is_judged(d) && c->progressive_mode && c->Ss != 0)
        for (i = 0; i < c->comps_in_scan; ++i)
            if (c->coef_bits[c->cur_comp_info[i]->component_index][0] < 0) {
                /* AC before its DC: end-of-band runs would stand for a component's every block. */
                snprintf(d->error, sizeof d->error, "JPEG progressive image codes a component's AC before its DC");
                longjmp(d->jump, 1);
            }
    d->judging = is_judged_scan(d);
    d->watching = 0;
    if (d->judging) measure_scan(d);
}

/* After the last scan: each component's DC was judged by its own blocks, and together
 * their data must still reach a sixteenth of all the blocks kept. */
static void check_filled(vjpeg_decoder* d) {
    const struct jpeg_decompress_struct* c = &d->cinfo;
    int64_t filled = d->filled_bytes + (d->counts_fill ? d->data_bytes : 0);
    if (is_judged(d) && !c->arith_code && filled < (d->coef_blocks + 127) / 128) {
        snprintf(d->error, sizeof d->error, "JPEG data too small for a sixteenth of the page");
        longjmp(d->jump, 1);
    }
}

/* Arithmetic-coded data may end anywhere: the decoder then reads zeros, which decode as
 * runs of the likeliest decisions. An encoder drops only trailing zero bytes, so on a
 * genuine page those runs are its blank rest (or the few blocks the last bytes still
 * covered), but the adaptive states can make them "not the end of the block" and
 * "nonzero" again and again, so that a few hundred bytes decode into a huge busy page.
 * The entropy decoder is wrapped to measure what each MCU decoded after the data ran out
 * (libjpeg keeps the marker that ended the data in unread_marker until the next interval)
 * made beyond blank blocks: the decisions its nonzero coefficients and DC changes took.
 * That work may not pass a little for every block decoded and more for every coded
 * byte, plus a fixed slack; past it the page is refused, except in a scan that runs to
 * the image's end (a cut file), whose rest is left blank. */
#define VJPEG_FILL_SLACK ((int64_t)1 << 18)
#define VJPEG_FILL_PER_BLOCK 2
#define VJPEG_FILL_PER_BYTE 64

enum { FILL_NONE, FILL_SEQUENTIAL, FILL_DC, FILL_AC, FILL_REFINE };

static const unsigned char zigzag_natural[DCTSIZE2] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

static int bit_length(unsigned v) {
    int n = 0;
    for (; v; v >>= 1) ++n;
    return n;
}

/* A nonzero value's flag, sign and magnitude decisions. */
static int64_t value_work(int v, int al) { return 2 + 2 * bit_length((unsigned)(v < 0 ? -v : v) >> al); }

/* Positions walked up to the last nonzero coefficient of the band, and their values. */
static int64_t band_work(const JCOEF* b, int ss, int se) {
    int64_t work = 0;
    int k, last = ss - 1;
    for (k = ss; k <= se; ++k)
        if (b[zigzag_natural[k]]) work += value_work(b[zigzag_natural[k]], 0), last = k;
    return work + (last - ss + 1);
}

static uint64_t word_at(const JCOEF* b, int j) {
    uint64_t w;
    memcpy(&w, b + 4 * j, sizeof w);
    return w;
}

static int any_in_band(const vjpeg_decoder* d, const JCOEF* b) {
    uint64_t any = 0;
    int j;
    for (j = 0; j < 16; ++j) any |= word_at(b, j) & d->band_words[j];
    return any != 0;
}

/* An AC first scan writes only the nonzero coefficients of its band, as v << Al in 16 bits:
 * a large v can come out zero. So the band holds a mark no write can leave (odd, for
 * Al > 0) while the MCU is decoded, and what it wrote is counted (a zero as the largest). */
static void set_marks(const vjpeg_decoder* d, JCOEF* b) {
    int j;
    for (j = 0; j < 16; ++j) {
        const uint64_t w = (word_at(b, j) & ~d->band_words[j]) | d->mark_words[j];
        memcpy(b + 4 * j, &w, sizeof w);
    }
}

static int64_t take_marks(const vjpeg_decoder* d, JCOEF* b, int counted) {
    const struct jpeg_decompress_struct* c = &d->cinfo;
    uint64_t written = 0;
    int64_t work = 0;
    int j, k, last = c->Ss - 1;
    for (j = 0; j < 16; ++j) written |= (word_at(b, j) ^ d->mark_words[j]) & d->band_words[j];
    if (!written) {
        if (d->mark)
            for (j = 0; j < 16; ++j) {
                const uint64_t w = word_at(b, j) & ~d->band_words[j];
                memcpy(b + 4 * j, &w, sizeof w);
            }
        return 0;
    }
    for (k = c->Ss; k <= d->band_end; ++k) {
        JCOEF* v = &b[zigzag_natural[k]];
        if (*v == d->mark) {
            *v = 0;
        } else {
            work += *v ? value_work(*v, c->Al) : 2 + 2 * 16;
            last = k;
        }
    }
    return counted ? work + (last - c->Ss + 1) : 0;
}

/* A refinement's new coefficients and the positions walked past the block's old end. */
static int64_t refine_work(const vjpeg_decoder* d, const JCOEF* before, const JCOEF* b) {
    const struct jpeg_decompress_struct* c = &d->cinfo;
    int64_t work = 0;
    int k, last_old = c->Ss - 1, last_new = c->Ss - 1;
    if (memcmp(before, b, DCTSIZE2 * sizeof *b) == 0) return 0;
    for (k = c->Ss; k <= d->band_end; ++k) {
        const int p = zigzag_natural[k];
        if (before[p]) last_old = k;
        else if (b[p]) work += 3, last_new = k;
    }
    return work + (last_new > last_old ? last_new - last_old : 0);
}

static void add_fill_work(vjpeg_decoder* d, int64_t work) {
    d->fill_work += work;
    if (d->fill_work <= VJPEG_FILL_SLACK + VJPEG_FILL_PER_BLOCK * d->walked + VJPEG_FILL_PER_BYTE * d->coded_bytes) return;
    if (d->cinfo.unread_marker == JPEG_EOI) { /* no scan follows: as a cut file, the rest stays blank */
        d->given_up = 1;
        return;
    }
    snprintf(d->error, sizeof d->error, "JPEG data ends where the page is still busy");
    longjmp(d->jump, 1);
}

static boolean fill_decode_mcu(j_decompress_ptr cinfo, JBLOCKROW* data) {
    vjpeg_decoder* d = decoder_of((j_common_ptr)cinfo);
    const int64_t taken = d->read_total - (int64_t)d->src.bytes_in_buffer;
    JCOEF before[DCTSIZE2];
    int64_t work = 0;
    int filling, b;
    boolean done;
    if (d->given_up) return TRUE;
    if (cinfo->restart_interval && d->scan_mcu % cinfo->restart_interval == 0)
        memset(d->last_dc, 0, sizeof d->last_dc); /* the decoder's DC predictions start over */
    ++d->scan_mcu;
    if (d->fill_kind == FILL_AC && d->mark) set_marks(d, data[0][0]); /* at Al 0 no write leaves a zero */
    else if (d->fill_kind == FILL_REFINE) memcpy(before, data[0][0], sizeof before);
    done = d->decode_mcu(cinfo, data);
    d->coded_bytes += d->read_total - (int64_t)d->src.bytes_in_buffer - taken;
    d->walked += cinfo->blocks_in_MCU;
    filling = cinfo->unread_marker != 0;
    switch (d->fill_kind) {
    case FILL_SEQUENTIAL:
    case FILL_DC:
        for (b = 0; b < cinfo->blocks_in_MCU; ++b) {
            const JCOEF* block = data[b][0];
            int* last = &d->last_dc[cinfo->MCU_membership[b]];
            /* A blank page's DC is large but the same from block to block. Changes decoded
             * from real data are not counted: a genuine ramp changes its DC every block for
             * next to no data. */
            if (filling) {
                if (block[0] != *last) work += value_work(block[0] - *last, cinfo->Al);
                if (d->fill_kind == FILL_SEQUENTIAL && any_in_band(d, block)) work += band_work(block, 1, d->band_end);
            }
            *last = block[0];
        }
        break;
    case FILL_AC:
        if (filling || d->mark) work = take_marks(d, data[0][0], filling);
        break;
    case FILL_REFINE:
        if (filling) work = refine_work(d, before, data[0][0]);
        break;
    default:
        break;
    }
    if (work > 0) add_fill_work(d, work);
    return done;
}

/* After each scan's own start: what its MCUs write, and the wrap around its decoder. */
static void watch_scan(vjpeg_decoder* d) {
    struct jpeg_decompress_struct* c = &d->cinfo;
    JCOEF band[DCTSIZE2], mark[DCTSIZE2];
    int k, from;
    if (c->entropy->decode_mcu != fill_decode_mcu) {
        d->decode_mcu = c->entropy->decode_mcu;
        c->entropy->decode_mcu = fill_decode_mcu;
    }
    d->scan_mcu = 0;
    d->given_up = 0;
    memset(d->last_dc, 0, sizeof d->last_dc);
    if (!c->progressive_mode) d->fill_kind = FILL_SEQUENTIAL;
    else if (c->Ss == 0) d->fill_kind = c->Ah == 0 ? FILL_DC : FILL_NONE; /* a DC refinement is a bit a block */
    else d->fill_kind = c->Ah == 0 ? FILL_AC : FILL_REFINE;
    d->mark = (JCOEF)(d->fill_kind == FILL_AC && c->Al > 0 ? 1 : 0);
    memset(band, 0, sizeof band);
    memset(mark, 0, sizeof mark);
    /* A sequential scan decodes through 63 whatever its header says. */
    from = d->fill_kind == FILL_SEQUENTIAL ? 1 : c->Ss;
    d->band_end = d->fill_kind == FILL_SEQUENTIAL || c->Se >= DCTSIZE2 ? DCTSIZE2 - 1 : c->Se;
    for (k = from; k <= d->band_end; ++k) {
        band[zigzag_natural[k]] = (JCOEF)-1;
        mark[zigzag_natural[k]] = d->mark;
    }
    memcpy(d->band_words, band, sizeof band);
    memcpy(d->mark_words, mark, sizeof mark);
}

static void fill_start_pass(j_decompress_ptr cinfo) {
    vjpeg_decoder* d = decoder_of((j_common_ptr)cinfo);
    int i, k;
    /* A coefficient's first bits come once: the marks above stand where nothing was yet. */
    if (cinfo->progressive_mode && cinfo->Ah == 0 && cinfo->coef_bits)
        for (i = 0; i < cinfo->comps_in_scan; ++i)
            for (k = cinfo->Ss; k <= cinfo->Se && k < DCTSIZE2; ++k)
                if (cinfo->coef_bits[cinfo->cur_comp_info[i]->component_index][k] >= 0) {
                    snprintf(d->error, sizeof d->error, "JPEG progressive image codes a coefficient's first bits twice");
                    longjmp(d->jump, 1);
                }
    d->start_pass(cinfo);
    watch_scan(d);
}

/* Called once the first scan's decoder is set up; later scans pass through fill_start_pass. */
static void watch_fill(vjpeg_decoder* d) {
    d->fill_hooked = 1;
    d->start_pass = d->cinfo.entropy->start_pass;
    d->cinfo.entropy->start_pass = fill_start_pass;
    watch_scan(d);
}

/* Blocks of the whole-image coefficient arrays, each component rounded up to its sampling
 * factors as libjpeg allocates them. */
static int64_t coefficient_blocks(const struct jpeg_decompress_struct* c) {
    int64_t blocks = 0;
    int i;
    for (i = 0; i < c->num_components; ++i) {
        const jpeg_component_info* comp = &c->comp_info[i];
        const int64_t w = comp->width_in_blocks, h = comp->height_in_blocks;
        blocks += (w + comp->h_samp_factor - 1) / comp->h_samp_factor * comp->h_samp_factor *
                  ((h + comp->v_samp_factor - 1) / comp->v_samp_factor * comp->v_samp_factor);
    }
    return blocks;
}

/* The bodies run below the entry points' setjmp, so their locals are never clobbered. */
static void read_header_body(vjpeg_decoder* d, int* out_width, int* out_height, int* scale_denom) {
    struct jpeg_decompress_struct* c = &d->cinfo;
    unsigned denom;
    jpeg_read_header(c, TRUE);
    d->header_read = 1;
    /* Grey and colour come out as blue-green-red; CMYK and YCCK as CMYK, converted here. */
    if (c->jpeg_color_space == JCS_CMYK || c->jpeg_color_space == JCS_YCCK)
        c->out_color_space = JCS_CMYK;
    else
        c->out_color_space = JCS_EXT_BGR;
    /* The sizes libjpeg computes for each scale (rounded up) decide it, so it decodes once. */
    for (denom = 1;; denom *= 2) {
        c->scale_num = 1;
        c->scale_denom = denom;
        jpeg_calc_output_dimensions(c);
        if (denom == 8) break;
        if ((int)c->output_width < d->limits.scale_limit && (int)c->output_height < d->limits.scale_limit) break;
    }
    d->coef_blocks = jpeg_has_multiple_scans(c) ? coefficient_blocks(c) : 0;
    if (d->limits.max_memory > 0 && d->coef_blocks > d->limits.max_memory / (long)sizeof(JBLOCK)) {
        snprintf(d->error, sizeof d->error, "JPEG image too large: its coefficients need more than %ld MB",
                 d->limits.max_memory >> 20);
        longjmp(d->jump, 1);
    }
    if (has_large_coefficients(d) && c->progressive_mode && c->Ss != 0) {
        /* Every component's first scan is its DC scan; AC first could stand for all blocks in
         * a few bytes of end-of-band runs. */
        snprintf(d->error, sizeof d->error, "JPEG progressive image does not begin with its DC scan");
        longjmp(d->jump, 1);
    }
    if (d->coef_blocks > 0 && d->limits.max_block_walks > 0) {
        step_in(d, "JpegDecode::prescan_walks");
        prescan_walks(d);
        step_out(d);
    }
    d->judging = is_judged_scan(d);
    if (d->judging) measure_scan(d);
    *out_width = (int)c->output_width;
    *out_height = (int)c->output_height;
    *scale_denom = (int)denom;
}

int vjpeg_read_header(vjpeg_decoder* d, int* out_width, int* out_height, int* scale_denom) {
    if (d->trace) d->trace("Call", "JpegDecode::vjpeg_read_header");
    if (setjmp(d->jump)) {
        step_out(d);
        if (d->trace) d->trace("Return", "JpegDecode::vjpeg_read_header");
        return -1;
    }
    read_header_body(d, out_width, out_height, scale_denom);
    if (d->trace) d->trace("Return", "JpegDecode::vjpeg_read_header");
    return 0;
}

/* Adobe's writers store CMYK inverted (0 = full ink); others as plain ink values. */
static void cmyk_to_bgr(const unsigned char* in, unsigned char* out, JDIMENSION width, int inverted) {
    JDIMENSION x;
    for (x = 0; x < width; ++x, in += 4, out += 3) {
        unsigned c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[0] = (unsigned char)((y * k + 127) / 255);
        out[1] = (unsigned char)((m * k + 127) / 255);
        out[2] = (unsigned char)((c * k + 127) / 255);
    }
}

static int decode_body(vjpeg_decoder* d, unsigned char* rows, ptrdiff_t stride) {
    struct jpeg_decompress_struct* c = &d->cinfo;
    JSAMPROW pointers[VJPEG_ROWS_AT_ONCE];
    int cmyk;
    d->decoding = 1;
    jpeg_start_decompress(c);
    if (d->coef_blocks > 0) check_filled(d);
    cmyk = c->out_color_space == JCS_CMYK;
    if (cmyk) {
        d->cmyk_row = (unsigned char*)malloc((size_t)c->output_width * 4);
        if (!d->cmyk_row) {
            snprintf(d->error, sizeof d->error, "Out of memory");
            return -1;
        }
    }
    while (c->output_scanline < c->output_height) {
        JDIMENSION y = c->output_scanline;
        if (cmyk) {
            pointers[0] = d->cmyk_row;
            if (jpeg_read_scanlines(c, pointers, 1) == 1)
                cmyk_to_bgr(d->cmyk_row, rows + (ptrdiff_t)y * stride, c->output_width, c->saw_Adobe_marker);
        } else {
            JDIMENSION n = c->output_height - y, i;
            if (n > VJPEG_ROWS_AT_ONCE) n = VJPEG_ROWS_AT_ONCE;
            for (i = 0; i < n; ++i) pointers[i] = rows + (ptrdiff_t)(y + i) * stride;
            jpeg_read_scanlines(c, pointers, n);
        }
    }
    jpeg_finish_decompress(c);
    return 0;
}

int vjpeg_decode(vjpeg_decoder* d, unsigned char* rows, ptrdiff_t stride) {
    int result;
    if (!d->header_read) {
        snprintf(d->error, sizeof d->error, "JPEG header not read");
        return -1;
    }
    if (d->trace) d->trace("Call", "JpegDecode::vjpeg_decode");
    if (setjmp(d->jump)) {
        step_out(d);
        if (d->trace) d->trace("Return", "JpegDecode::vjpeg_decode");
        return -1;
    }
    result = decode_body(d, rows, stride);
    if (d->trace) d->trace("Return", "JpegDecode::vjpeg_decode");
    return result;
}
