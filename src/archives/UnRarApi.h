/* The rar library's interface as the rar reader calls it: the five entries, their
 * records and codes, in the layout of the library's Linux build (long-sized callback
 * values, pointers in their natural slots). Our library in src/extlibs/unrar implements
 * it; the assertions at the end fix the layout. */
#ifndef VELLICOR_UNRARAPI_H
#define VELLICOR_UNRARAPI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the entries and the OpenResult field. */
enum {
    ERAR_SUCCESS = 0,
    ERAR_END_ARCHIVE = 10,
    ERAR_NO_MEMORY = 11,
    ERAR_BAD_DATA = 12,
    ERAR_BAD_ARCHIVE = 13,
    ERAR_UNKNOWN_FORMAT = 14,
    ERAR_EOPEN = 15,
    ERAR_ECREATE = 16,
    ERAR_ECLOSE = 17,
    ERAR_EREAD = 18,
    ERAR_EWRITE = 19,
    ERAR_SMALL_BUF = 20,
    ERAR_UNKNOWN = 21,
    ERAR_MISSING_PASSWORD = 22,
    /* Our library's own: the archive ends inside a header or inside a member's data (cut
     * short); everything before that point is whole. */
    ERAR_TRUNCATED = 98,
    /* Our library's own: a stored member's data do not match their CRC. */
    ERAR_BAD_CRC = 97,
    /* Our library's own: packed with a dictionary larger than the decoder unpacks. */
    ERAR_DICTIONARY_UNSUPPORTED = 96,
    /* Our library's own: the archive or member is encrypted and cannot be read. */
    ERAR_ENCRYPTED_UNSUPPORTED = 99
};

/* Open modes. */
enum { RAR_OM_LIST = 0, RAR_OM_EXTRACT = 1 };
/* RARProcessFile operations. */
enum { RAR_SKIP = 0, RAR_TEST = 1, RAR_EXTRACT = 2 };
/* Callback messages and the volume-change modes in P2. */
enum { UCM_CHANGEVOLUME = 0, UCM_PROCESSDATA = 1, UCM_NEEDPASSWORD = 2 };
enum { RAR_VOL_ASK = 0, RAR_VOL_NOTIFY = 1 };

/* Header flags. */
#define RHDF_SPLITBEFORE 0x01u
#define RHDF_SPLITAFTER 0x02u
#define RHDF_ENCRYPTED 0x04u
#define RHDF_SOLID 0x10u
#define RHDF_DIRECTORY 0xE0u

#define RAR_NAME_SIZE 260

struct RAROpenArchiveData {
    char* ArcName;
    unsigned int OpenMode;
    unsigned int OpenResult;
    char* CmtBuf;
    unsigned int CmtBufSize;
    unsigned int CmtSize;
    unsigned int CmtState;
};

struct RARHeaderData {
    char ArcName[RAR_NAME_SIZE];
    char FileName[RAR_NAME_SIZE];
    unsigned int Flags;
    unsigned int PackSize;
    unsigned int UnpSize;
    unsigned int HostOS;
    unsigned int FileCRC;
    unsigned int FileTime;
    unsigned int UnpVer;
    unsigned int Method;
    unsigned int FileAttr;
    char* CmtBuf;
    unsigned int CmtBufSize;
    unsigned int CmtSize;
    unsigned int CmtState;
};

/* msg, the user value given to RARSetCallback, P1, P2; 0 continues, -1 stops. */
typedef int (*UNRARCALLBACK)(unsigned int msg, long UserData, long P1, long P2);

typedef void* (*RAROpenArchiveFunc)(struct RAROpenArchiveData* ArchiveData);
typedef int (*RARCloseArchiveFunc)(void* hArcData);
typedef int (*RARReadHeaderFunc)(void* hArcData, struct RARHeaderData* HeaderData);
typedef int (*RARProcessFileFunc)(void* hArcData, int Operation, char* DestPath, char* DestName);
typedef void (*RARSetCallbackFunc)(void* hArcData, UNRARCALLBACK Callback, long UserData);

#ifdef __cplusplus
}
static_assert(sizeof(long) == sizeof(void*), "callback values carry pointers");
static_assert(offsetof(RAROpenArchiveData, CmtBuf) == 16 && sizeof(RAROpenArchiveData) == 40);
static_assert(offsetof(RARHeaderData, FileName) == 260 && offsetof(RARHeaderData, Flags) == 520);
static_assert(offsetof(RARHeaderData, FileAttr) == 552 && offsetof(RARHeaderData, CmtBuf) == 560);
static_assert(sizeof(RARHeaderData) == 584);
#endif

#endif
