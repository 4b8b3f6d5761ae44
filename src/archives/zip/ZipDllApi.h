/* The records shared by the zip component and the zip and unzip run-time libraries.
 * Plain C so a library can be written in either language. Every pointer has its own
 * naturally aligned slot (no pointer is ever squeezed into a 32-bit word), and the
 * layouts are fixed by the assertions at the end: a change here is an ABI change. */
#ifndef VELLICOR_ZIPDLLAPI_H
#define VELLICOR_ZIPDLLAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Version reported by the libraries built here (1.60). */
#define ZIPDLL_VERSION 160
/* Library versions at which the record layouts changed. */
#define UNZ_NEW_LAYOUT_VERSION 152
#define ZIP_NEW_LAYOUT_VERSION 151
#define ZIPDLL_STREAM_VERSION 160
#define ZIPDLL_CHECK_WORD 7
/* Room for file specifications in the old records. */
#define ZIPDLL_OLD_MAX_SPECS 4097

/* Callback action codes. */
enum {
    zacItem = 1,       /* a new file: name and size */
    zacProgress = 2,   /* bytes done */
    zacEndOfBatch = 3,
    zacMessage = 4,    /* error code and text */
    zacCount = 5,      /* total number of files */
    zacSize = 6,       /* total size */
    zacNewName = 7,
    zacPassword = 8,
    zacCRCError = 9,
    zacOverwrite = 10,
    zacSkipped = 11,
    zacComment = 12,
    zacStream = 13,    /* resize the output buffer */
    zacWritten = 14    /* after a delete: the new archive's directory as written (its central
                          records, end record and comment, the last bytes of the file) in
                          Buffer, FileSize bytes, valid during the call */
};

/* Error codes a library reports with zacMessage and zacSkipped. */
enum {
    UZ_OK = 0,
    UZ_WARN = 1,
    UZ_FORMAT = 2,      /* damaged archive */
    UZ_CORRUPT = 3,     /* damaged member data */
    UZ_MEMORY = 4,
    UZ_PASSWORD = 5,
    UZ_CRC = 6,
    UZ_UNSUPPORTED = 7, /* method, encryption or zip64 not supported */
    UZ_NOZIP = 9,
    UZ_PARAM = 10,
    UZ_NOTFOUND = 11,
    UZ_WRITE = 50,
    UZ_CANCEL = 80
};

/* Why a member was skipped; zacSkipped carries the value plus 1 in the size word. */
enum {
    uzsOnFreshen = 0,          /* not extracted because of freshen or update */
    uzsNoOverwrite = 1,        /* the file exists and is not to be overwritten */
    uzsFileExists = 2,
    uzsBadPassword = 3,
    uzsNoEncryption = 4,       /* encryption of a kind not supported */
    uzsCompressionUnknown = 5,
    uzsUnknownZipHost = 6,
    uzsZipFileFormatWrong = 7,
    uzsGeneralExtractError = 8
};

/* Text room in the callback record: a text of at most ZCB_TEXT_MAX characters plus NUL. */
#define ZCB_TEXT_MAX 512
#define ZCB_COMMENT_MAX 511
#define ZCB_PASSWORD_MAX 81

/* The one record a library hands to the callback. The error word doubles as a result word
 * and carries flags: bit 0 of its low byte (a password asked for while adding), its low
 * 16 bits (the directory index of an overwrite question) and bit 0 of its third byte (the
 * file on disk is older). The size word doubles as a result word. Text and file comment
 * have separate buffers. */
typedef struct ZCallBackStruct {
    void* Handle;          /* 0  application window (unused) */
    void* Caller;          /* 8  the component */
    int32_t Version;       /* 16 library version */
    int32_t IsOperationZip;/* 20 non-zero while the zip (not the unzip) library runs */
    int32_t ActionCode;    /* 24 */
    int32_t ErrorCode;     /* 28 */
    uint32_t FileSize;     /* 32 */
    uint32_t Reserved;     /* 36 */
    void* Buffer;          /* 40 zacStream: the new output buffer is replied here; zacWritten: the bytes */
    char FileNameOrMsg[ZCB_TEXT_MAX + 8]; /* 48 */
    char FileComment[ZCB_COMMENT_MAX + 1]; /* 568 */
} ZCallBackStruct;         /* 1080 */

#define ZCB_FLAG_ADDING(err) (((err) & 0x1) != 0)
#define ZCB_DIR_INDEX(err) ((int)((err) & 0xFFFF))
#define ZCB_IS_OLDER(err) ((((err) >> 16) & 0x1) != 0)

/* Returns non-zero when the operation must stop (the user cancelled). */
typedef int32_t (*ZFunctionPtrType)(ZCallBackStruct* record);

/* One file specification. The caller may describe a member it has already located from
 * the central directory (fHasPosition non-zero); the library then goes straight to the
 * local header instead of reading the directory again. */
typedef struct UnzFileData {
    const char* fFileSpec;     /* 0 */
    int32_t fHasPosition;      /* 8 */
    uint32_t fCRC32;           /* 12 */
    int64_t fLocalHeaderPos;   /* 16 absolute file position of the local header */
    uint32_t fCompressedSize;  /* 24 */
    uint32_t fUncompressedSize;/* 28 */
    uint16_t fMethod;          /* 32 */
    uint16_t fFlags;           /* 34 general purpose flags */
    uint16_t fModTime;         /* 36 DOS time (for the password check byte) */
    uint16_t fModDate;         /* 38 */
    uint16_t fVersionMadeBy;   /* 40 */
    uint8_t fReserved[30];     /* 42 */
} UnzFileData;                 /* 72 */

/* Fields shared by both unzip record layouts. */
#define UNZ_PARAMS_HEAD                                                            \
    void* fHandle;            /* 0 */                                              \
    void* fCaller;            /* 8 */                                              \
    int32_t fVersion;         /* 16 always 160 */                                  \
    int32_t fReserved0;       /* 20 */                                             \
    ZFunctionPtrType fZCallback; /* 24 */                                          \
    int32_t fTraceEnabled;    /* 32 */                                             \
    uint16_t fWantedCodePage; /* 36 0 auto, 1 none, 2 OEM */                       \
    uint16_t fReserved1;      /* 38 */                                             \
    const char* fPassword;    /* 40 */                                             \
    int32_t fTest;            /* 48 */                                             \
    int32_t fComments;        /* 52 */                                             \
    int32_t fConvert;         /* 56 */                                             \
    int32_t fQuiet;           /* 60 */                                             \
    int32_t fVerboseEnabled;  /* 64 */                                             \
    int32_t fUpdate;          /* 68 */                                             \
    int32_t fFreshen;         /* 72 */                                             \
    int32_t fDirectories;     /* 76 */                                             \
    int32_t fOverwrite;       /* 80 */                                             \
    int32_t fArgc;            /* 84 */                                             \
    const char* fZipFN;       /* 88 */

/* Unzip record for libraries from version 152 on. */
typedef struct UnZipParams {
    UNZ_PARAMS_HEAD
    UnzFileData* fUFDS;       /* 96 fArgc specifications */
    int32_t fUseOutStream;    /* 104 */
    int32_t fReserved2;       /* 108 */
    void* fOutStream;         /* 112 */
    uint32_t fOutStreamSize;  /* 120 */
    int32_t fUseInStream;     /* 124 */
    const void* fInStream;    /* 128 */
    uint32_t fInStreamSize;   /* 136 */
    uint32_t fPwdReqCount;    /* 140 from version 160 */
    const char* fExtractDir;  /* 144 */
    int32_t fSeven;           /* 152 check word */
    int32_t fReserved3;       /* 156 */
} UnZipParams;                /* 160 */

/* Unzip record for libraries below version 152. */
typedef struct UnZipParamsOld {
    UNZ_PARAMS_HEAD
    int32_t fSeven;           /* 96 check word */
    int32_t fReserved2;       /* 100 */
    const char* fFileSpecs[ZIPDLL_OLD_MAX_SPECS]; /* 104 */
} UnZipParamsOld;

/* A compressed buffer for buffer-to-buffer extraction: a 6-byte header, then the data.
 * Header: method (2 bytes, 0 stored or 8 deflated), CRC-32 of the plain data (4 bytes),
 * both little-endian. */
#define ZIPDLL_STREAM_HEADER 6

typedef uint32_t (*UnzDllExecFunc)(UnZipParams* params);
typedef uint32_t (*ZipDllExecFunc)(void* params);
typedef uint32_t (*DllVersionFunc)(void);

#ifdef __cplusplus
}
#define ZIPDLL_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define ZIPDLL_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

ZIPDLL_STATIC_ASSERT(sizeof(void*) == 8, "the records are laid out for 64-bit pointers");
ZIPDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, ActionCode) == 24, "callback layout");
ZIPDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, ErrorCode) == 28, "callback layout");
ZIPDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, FileSize) == 32, "callback layout");
ZIPDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, Buffer) == 40, "callback layout");
ZIPDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, FileNameOrMsg) == 48, "callback layout");
ZIPDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, FileComment) == 568, "callback layout");
ZIPDLL_STATIC_ASSERT(sizeof(ZCallBackStruct) == 1080, "callback layout");
ZIPDLL_STATIC_ASSERT(sizeof(UnzFileData) == 72, "specification record");
ZIPDLL_STATIC_ASSERT(offsetof(UnzFileData, fLocalHeaderPos) == 16, "specification record");
ZIPDLL_STATIC_ASSERT(offsetof(UnzFileData, fVersionMadeBy) == 40, "specification record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fZCallback) == 24, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fPassword) == 40, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fArgc) == 84, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fZipFN) == 88, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fUFDS) == 96, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fOutStream) == 112, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fInStream) == 128, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fPwdReqCount) == 140, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fExtractDir) == 144, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParams, fSeven) == 152, "unzip record");
ZIPDLL_STATIC_ASSERT(sizeof(UnZipParams) == 160, "unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParamsOld, fSeven) == 96, "old unzip record");
ZIPDLL_STATIC_ASSERT(offsetof(UnZipParamsOld, fFileSpecs) == 104, "old unzip record");
ZIPDLL_STATIC_ASSERT(sizeof(UnZipParamsOld) == 104 + 8 * ZIPDLL_OLD_MAX_SPECS, "old unzip record");

#endif
