/* The record the zip component hands to the zip library (adding and deleting). Plain C,
 * pointers in their own aligned slots, layout fixed by the assertions at the end. */
#ifndef VELLICOR_ZIPDLLADDAPI_H
#define VELLICOR_ZIPDLLADDAPI_H

#include "archives/zip/ZipDllApi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One file specification of the new layout. */
typedef struct ZipFileData {
    const char* fFileSpec;     /* 0 */
    const char* fFilePassword; /* 8 this line's password, or the record's */
    int32_t fEncrypt;          /* 16 */
    uint16_t fRecurse;         /* 20 */
    uint16_t fReserved0;       /* 22 */
    const char* fRootDir;      /* 24 names are taken relative to this directory */
    uint8_t fReserved[24];     /* 32 */
} ZipFileData;                 /* 56 */

/* Fields shared by both zip record layouts. */
#define ZIP_PARAMS_HEAD                                                            \
    void* fHandle;             /* 0 */                                             \
    void* fCaller;             /* 8 */                                             \
    int32_t fVersion;          /* 16 always 160 */                                 \
    int32_t fReserved0;        /* 20 */                                            \
    ZFunctionPtrType fZCallback; /* 24 */                                          \
    int32_t fTraceEnabled;     /* 32 */                                            \
    int32_t fReserved1;        /* 36 */                                            \
    const char* fPassword;     /* 40 */                                            \
    const char* fSuffix;       /* 48 ".gif:.png:..." stored, not compressed */     \
    int32_t fEncrypt;          /* 56 */                                            \
    int32_t fSystem;           /* 60 hidden files too */                           \
    int32_t fVolume;           /* 64 */                                            \
    int32_t fExtra;            /* 68 0 */                                          \
    int32_t fNoDirEntries;     /* 72 no separate directory entries */              \
    int32_t fDate;             /* 76 0 */                                          \
    int32_t fVerboseEnabled;   /* 80 */                                            \
    int32_t fQuiet;            /* 84 1 */                                          \
    int32_t fLevel;            /* 88 0 stored .. 9 */                              \
    int32_t fComprSpecial;     /* 92 0 */                                          \
    int32_t fJunkDir;          /* 96 names without their directories */            \
    uint16_t fRecurse;         /* 100 */                                           \
    uint16_t fReserved2;       /* 102 */                                           \
    int32_t fGrow;             /* 104 1, 0 for delete */                           \
    int32_t fForce;            /* 108 archive gets the newest entry's time */      \
    int32_t fMove;             /* 112 */                                           \
    int32_t fDeleteEntries;    /* 116 */                                           \
    int32_t fUpdate;           /* 120 */                                           \
    int32_t fFreshen;          /* 124 */                                           \
    int32_t fJunkSFX;          /* 128 0 */                                         \
    int32_t fForceDOS;         /* 132 8.3 upper-case names */                      \
    int32_t fArgc;             /* 136 */                                           \
    int32_t fReserved3;        /* 140 */                                           \
    const char* fZipFN;        /* 144 */

/* Zip record for libraries from version 151 on. */
typedef struct ZipParams {
    ZIP_PARAMS_HEAD
    const char* fTempPath;     /* 152 */
    const char* fArchComment;  /* 160 */
    uint16_t fArchiveFilesOnly;/* 168 */
    uint16_t fResetArchiveBit; /* 170 */
    int32_t fTotExFileSpecs;   /* 172 */
    ZipFileData* fFDS;         /* 176 fArgc specifications */
    const char** fExFiles;     /* 184 fTotExFileSpecs exclusion patterns */
    int32_t fUseOutStream;     /* 192 */
    uint32_t fOutStreamSize;   /* 196 in: room; out: bytes written */
    void* fOutStream;          /* 200 */
    int32_t fUseInStream;      /* 208 */
    uint32_t fInStreamSize;    /* 212 */
    const void* fInStream;     /* 216 */
    uint32_t fStrFileAttr;     /* 224 */
    uint32_t fStrFileDate;     /* 228 DOS time low, date high */
    int32_t fHowToMove;        /* 232 1: moved files go to the trash */
    uint16_t fWantedCodePage;  /* 236 2: names to the OEM code page */
    uint16_t fReserved4;       /* 238 */
    int32_t fSeven;            /* 240 check word */
    int32_t fReserved5;        /* 244 */
} ZipParams;                   /* 248 */

/* Zip record for libraries below version 151. */
typedef struct ZipParamsOld {
    ZIP_PARAMS_HEAD
    int32_t fSeven;            /* 152 check word */
    int32_t fReserved4;        /* 156 */
    const char* fFileSpecs[ZIPDLL_OLD_MAX_SPECS]; /* 160 */
} ZipParamsOld;

#ifdef __cplusplus
}
#endif

ZIPDLL_STATIC_ASSERT(sizeof(ZipFileData) == 56, "zip specification record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipFileData, fRootDir) == 24, "zip specification record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fZCallback) == 24, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fPassword) == 40, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fLevel) == 88, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fRecurse) == 100, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fForceDOS) == 132, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fZipFN) == 144, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fTempPath) == 152, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fFDS) == 176, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fOutStream) == 200, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fInStream) == 216, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fStrFileDate) == 228, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fWantedCodePage) == 236, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParams, fSeven) == 240, "zip record");
ZIPDLL_STATIC_ASSERT(sizeof(ZipParams) == 248, "zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParamsOld, fSeven) == 152, "old zip record");
ZIPDLL_STATIC_ASSERT(offsetof(ZipParamsOld, fFileSpecs) == 160, "old zip record");

typedef uint32_t (*ZipDllExecFuncT)(ZipParams* params);

#endif
