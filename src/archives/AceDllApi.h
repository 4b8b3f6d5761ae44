/* The records shared by the ace interface and the ace library. Plain C; every pointer has its
 * own naturally aligned slot, and texts are handed over by pointer, never copied into a
 * record, so no text can run past a record's end. */
#ifndef VELLICOR_ACEDLLAPI_H
#define VELLICOR_ACEDLLAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Callback results. */
enum { ACEDLL_CONTINUE = 0, ACEDLL_CANCEL = 2 };

/* Structure types (word 0 of every callback structure). */
enum {
    ACEDLL_TYPE_GLOBAL = 0,
    ACEDLL_TYPE_ARCHIVE = 1,
    ACEDLL_TYPE_ARCHIVED_FILE = 2,
    ACEDLL_TYPE_REAL_FILE = 3,
    ACEDLL_TYPE_SPACE = 4,
    ACEDLL_TYPE_SFX_FILE = 5,
    ACEDLL_TYPE_PROGRESS = 7,
    ACEDLL_TYPE_CRC_CHECK = 8
};

/* Operations. */
enum { ACEDLL_OP_LIST = 0, ACEDLL_OP_TEST = 1, ACEDLL_OP_ANALYZE = 2, ACEDLL_OP_EXTRACT = 3 };

/* Codes. */
enum {
    /* information */
    ACEDLL_INFO_FILELIST_CREATE = 281,
    ACEDLL_INFO_FILELIST_CREATE_END = 282,
    ACEDLL_INFO_FILELIST_ADD = 320,
    /* errors: global */
    ACEDLL_ERR_MEMORY = 512,
    ACEDLL_ERR_SPACE_DETECT = 518,
    /* errors: archive */
    ACEDLL_ERR_AV = 546,
    ACEDLL_ERR_OPEN_READ = 550,
    ACEDLL_ERR_READ = 552,
    ACEDLL_ERR_BROKEN = 556,
    ACEDLL_ERR_NO_FILES = 558,
    ACEDLL_ERR_NOT_ACE = 559,
    ACEDLL_ERR_HIGHER_VERSION = 561,
    ACEDLL_ERR_VOLUME = 562, /* a volume of the set is missing or foreign */
    /* our library's own: the archive ends inside a header or a member's data (cut short);
     * told once the members before the cut are listed, with the member cut short as file
     * data when there is one */
    ACEDLL_ERR_ENDS_EARLY = 599,
    /* our library's own: a member continues into a volume that could not be had after the
     * questions for it ran out (the archive's name is that volume's during the call); the
     * members before that member are listed all the same */
    ACEDLL_ERR_MISSING_VOLUME = 598,
    /* errors: archived file */
    ACEDLL_ERR_NAME_USED_BY_DIR = 576,
    ACEDLL_ERR_WRITE = 580,
    ACEDLL_ERR_OPEN_WRITE = 582,
    ACEDLL_ERR_CRC = 584,      /* decoded data does not match its CRC, or is damaged */
    ACEDLL_ERR_PASSWORD = 585, /* encrypted member: wrong password or damaged */
    ACEDLL_ERR_METHOD = 586,
    ACEDLL_ERR_EXTRACT_SPACE = 587,
    ACEDLL_ERR_CREATION = 588,
    ACEDLL_ERR_UNSAFE_NAME = 589, /* the name would leave the target folder */
    /* requests */
    ACEDLL_REQ_CHANGE_VOLUME = 801,
    ACEDLL_REQ_OVERWRITE = 832,
    ACEDLL_REQ_PASSWORD = 835,
    /* states */
    ACEDLL_STATE_START_ARCHIVE = 1024,
    ACEDLL_STATE_START_FILE = 1040,
    ACEDLL_STATE_PROGRESS = 1056,
    ACEDLL_STATE_END_CRC_CHECK = 1072,
    /* results of the entry points besides the error codes above */
    ACEDLL_OK = 0,
    ACEDLL_ERR_NOT_INITIALISED = 1,
    ACEDLL_ERR_PARAMETER = 2,
    ACEDLL_ERR_CANCELLED = 255
};

struct AceCallbackData;
typedef int (*AceCallbackProc)(struct AceCallbackData* data);

/* Handed to the library once; the library keeps its own copy and hands that copy to every
 * callback, where the caller may set the password pointer. */
typedef struct AceGlobalData {
    void* Obj;                    /* the caller's object */
    uint32_t MaxArchiveTestBytes; /* room for the archive search */
    uint32_t MaxFileBufSize;      /* largest read buffer */
    char* Comment;                /* comment buffer (comments are not unpacked: left empty) */
    uint32_t CommentBufSize;
    uint32_t CommentLength;
    const char* DecryptPassword;  /* set by a password request's answer */
    const char* TempDir;          /* zero-terminated, held by the caller */
    AceCallbackProc InfoCallbackProc;
    AceCallbackProc ErrorCallbackProc;
    AceCallbackProc RequestCallbackProc;
    AceCallbackProc StateCallbackProc;
    uint8_t Reserved[64];
} AceGlobalData;

typedef struct AceInitDllStruct {
    AceGlobalData GlobalData;
    uint8_t Reserved[64];
} AceInitDllStruct;

typedef struct AceArchiveData {
    const char* ArchiveName; /* during ACEDLL_REQ_CHANGE_VOLUME: the part asked for */
    uint32_t VolumeNumber;
    uint32_t Flags;
    uint32_t HostCreated;
    uint32_t TimeCreated; /* MS-DOS format */
    uint32_t VersionCreated;
    uint32_t VersionExtract;
    uint8_t Reserved[32];
} AceArchiveData;

typedef struct AceFileData {
    const char* SourceFileName; /* the member's name, '/' between folders */
    uint64_t Size;
    uint64_t CompressedSize;
    uint32_t CRC32;
    uint32_t Method;
    uint32_t Dictionary; /* in bytes */
    uint32_t Time;       /* MS-DOS format */
    uint32_t Attributes;
    uint32_t Flags;
    uint8_t Reserved[32];
} AceFileData;

typedef struct AceProgressData {
    const uint8_t* Addr; /* the block just unpacked */
    uint64_t Size;
    uint64_t TotalProcessedSize;
    uint64_t TotalSize;
} AceProgressData;

typedef struct AceCallbackData {
    int32_t StructureType;
    int32_t Code;
    int32_t Operation;
    AceGlobalData* GlobalData;
    AceArchiveData* ArchiveData;   /* archive structures and below */
    AceFileData* FileData;         /* archived-file, progress and CRC structures */
    AceProgressData* ProgressData; /* progress structures */
    const char* RealFileName;      /* real-file structures */
} AceCallbackData;

/* Which members an operation takes: names each followed by a carriage return, the list
 * closed by a zero byte; an empty FileList takes every member. With FullMatch 0 a listed
 * folder also takes everything below it. */
typedef struct AceFilesStruct {
    const char* SourceDir; /* unused when reading */
    const char* FileList;
    const char* ExcludeList;
    uint32_t FullMatch;
} AceFilesStruct;

typedef struct AceListStruct {
    AceFilesStruct Files;
    uint8_t Reserved[64];
} AceListStruct;

typedef struct AceTestStruct {
    AceFilesStruct Files;
    const char* DecryptPassword; /* used until a password request is answered */
    uint8_t Reserved[64];
} AceTestStruct;

typedef struct AceExtractStruct {
    AceFilesStruct Files;
    const char* DestinationDir;
    uint32_t ExcludePath; /* 1: every member straight into DestinationDir */
    const char* DecryptPassword;
    uint8_t Reserved[64];
} AceExtractStruct;

typedef struct AceReadArchiveDataStruct {
    AceArchiveData ArchiveData; /* ArchiveName points at the name given */
    uint32_t FileCount;
    uint8_t Reserved[60];
} AceReadArchiveDataStruct;

typedef int (*AceInitDllProc)(AceInitDllStruct* init);
typedef int (*AceReadArchiveDataProc)(const char* archiveName, AceReadArchiveDataStruct* data);
typedef int (*AceListProc)(const char* archiveName, AceListStruct* list);
typedef int (*AceTestProc)(const char* archiveName, AceTestStruct* test);
typedef int (*AceExtractProc)(const char* archiveName, AceExtractStruct* extract);

#ifdef __cplusplus
}
/* The layouts are an interface between separately built modules: a change is an ABI change. */
#include <cstddef>
static_assert(sizeof(void*) != 8 || sizeof(AceGlobalData) == 144, "global data layout");
static_assert(sizeof(void*) != 8 || offsetof(AceGlobalData, DecryptPassword) == 32, "password pointer slot");
static_assert(sizeof(void*) != 8 || sizeof(AceCallbackData) == 56, "callback structure layout");
static_assert(offsetof(AceCallbackData, GlobalData) == 16, "global data pointer slot");
static_assert(sizeof(void*) != 8 || sizeof(AceTestStruct) == 104, "test record layout");
#endif

#endif
