// The subset of the Oracle Call Interface this system uses, declared from Oracle's
// published interface (types, constants, prototypes), and the table of function pointers
// through which the database layer calls it. The table is filled at run time from the
// library named by KESTRO_OCI_LIB, else from Oracle's client library, so no Oracle file
// is needed to build; the stand-in library exports the same functions with C linkage.
#pragma once

#include <cstddef>

extern "C" {

typedef unsigned char ub1;
typedef signed char sb1;
typedef unsigned short ub2;
typedef short sb2;
typedef unsigned int ub4;
typedef int sb4;
typedef int sword;
typedef unsigned int uword;
typedef unsigned long long oraub8;
typedef unsigned char OraText;
typedef int boolean;

typedef struct OCIEnv OCIEnv;
typedef struct OCIError OCIError;
typedef struct OCISvcCtx OCISvcCtx;
typedef struct OCIStmt OCIStmt;
typedef struct OCIBind OCIBind;
typedef struct OCIDefine OCIDefine;
typedef struct OCIServer OCIServer;
typedef struct OCISession OCISession;
typedef struct OCISnapshot OCISnapshot;
typedef struct OCILobLocator OCILobLocator;
typedef struct OCIParam OCIParam;

}  // extern "C"

// Status codes.
#define OCI_SUCCESS 0
#define OCI_SUCCESS_WITH_INFO 1
#define OCI_NEED_DATA 99
#define OCI_NO_DATA 100
#define OCI_ERROR (-1)
#define OCI_INVALID_HANDLE (-2)
#define OCI_STILL_EXECUTING (-3123)
#define OCI_CONTINUE (-24200)

// Environment modes.
#define OCI_DEFAULT 0x0
#define OCI_THREADED 0x1
#define OCI_OBJECT 0x2

// Handle and descriptor types.
#define OCI_HTYPE_ENV 1
#define OCI_HTYPE_ERROR 2
#define OCI_HTYPE_SVCCTX 3
#define OCI_HTYPE_STMT 4
#define OCI_HTYPE_BIND 5
#define OCI_HTYPE_DEFINE 6
#define OCI_HTYPE_SERVER 8
#define OCI_HTYPE_SESSION 9
#define OCI_DTYPE_LOB 50

// Attributes. Numbers overlap between handle types: always pass the right type.
#define OCI_ATTR_SERVER 6
#define OCI_ATTR_SESSION 7
#define OCI_ATTR_ROW_COUNT 9
#define OCI_ATTR_USERNAME 22
#define OCI_ATTR_PASSWORD 23
#define OCI_ATTR_STMT_TYPE 24
#define OCI_ATTR_CHARSET_ID 31
#define OCI_ATTR_ENV_CHARSET_ID OCI_ATTR_CHARSET_ID
#define OCI_ATTR_CHARSET_FORM 32
#define OCI_ATTR_MAXDATA_SIZE 33
#define OCI_ATTR_LOBEMPTY 45
#define OCI_ATTR_NUM_DML_ERRORS 73
#define OCI_ATTR_DML_ROW_OFFSET 74
#define OCI_ATTR_ROWS_FETCHED 197
#define OCI_ATTR_CURRENT_SCHEMA 224
#define OCI_ATTR_NCHARSET_ID 262
#define OCI_ATTR_ENV_NCHARSET_ID OCI_ATTR_NCHARSET_ID
#define OCI_ATTR_RECEIVE_TIMEOUT 436

#define OCI_CRED_RDBMS 1
#define OCI_NTV_SYNTAX 1
#define OCI_DATA_AT_EXEC 2
#define OCI_DYNAMIC_FETCH 2
#define OCI_DESCRIBE_ONLY 0x10
#define OCI_COMMIT_ON_SUCCESS 0x20
#define OCI_BATCH_ERRORS 0x80
#define OCI_FETCH_NEXT 0x02

#define OCI_ONE_PIECE 0
#define OCI_FIRST_PIECE 1
#define OCI_NEXT_PIECE 2
#define OCI_LAST_PIECE 3
#define OCI_PARAM_IN 1

#define OCI_LOB_READONLY 1
#define OCI_LOB_READWRITE 2
#define OCI_TRANS_WRITEBATCH 0x1
#define OCI_TRANS_WRITENOWAIT 0x8

#define SQLCS_IMPLICIT 1
#define SQLCS_NCHAR 2
#define OCI_UTF16ID 1000
#define OCI_NLS_CHARSET_MAXBYTESZ 91

// External data types.
#define SQLT_CHR 1
#define SQLT_NUM 2
#define SQLT_INT 3
#define SQLT_STR 5
#define SQLT_LNG 8
#define SQLT_DAT 12
#define SQLT_BIN 23
#define SQLT_LBI 24
#define SQLT_UIN 68
#define SQLT_LVC 94  // character data preceded by its sb4 length
#define SQLT_LVB 95  // binary data preceded by its sb4 length
#define SQLT_AFC 96
#define SQLT_IBFLOAT 100
#define SQLT_IBDOUBLE 101
#define SQLT_RDD 104
#define SQLT_CLOB 112
#define SQLT_BLOB 113
// The database's internal datetime codes, which the layer binds in their internal byte
// forms (OCI's own descriptor-based codes are 187..190 and 232).
#define KS_SQLT_TIMESTAMP 180
#define KS_SQLT_TIMESTAMP_TZ 181
#define KS_SQLT_INTERVAL_YM 182
#define KS_SQLT_INTERVAL_DS 183
#define KS_SQLT_TIMESTAMP_LTZ 231

// One entry per OCI function: X(return type, name, parameter list).
#define KS_OCI_FUNCTIONS(X)                                                                                            \
  X(sword, OCIEnvCreate,                                                                                               \
    (OCIEnv * *envhpp, ub4 mode, void *ctxp, void *(*malocfp)(void *, size_t),                                         \
     void *(*ralocfp)(void *, void *, size_t), void (*mfreefp)(void *, void *), size_t xtramem_sz, void **usrmempp))   \
  X(sword, OCIHandleAlloc, (const void *parenth, void **hndlpp, ub4 type, size_t xtramem_sz, void **usrmempp))         \
  X(sword, OCIHandleFree, (void *hndlp, ub4 type))                                                                     \
  X(sword, OCIServerAttach, (OCIServer * srvhp, OCIError * errhp, const OraText *dblink, sb4 dblink_len, ub4 mode))    \
  X(sword, OCIServerDetach, (OCIServer * srvhp, OCIError * errhp, ub4 mode))                                           \
  X(sword, OCIAttrSet, (void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 size, ub4 attrtype, OCIError *errhp))   \
  X(sword, OCIAttrGet,                                                                                                 \
    (const void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 *sizep, ub4 attrtype, OCIError *errhp))              \
  X(sword, OCISessionBegin, (OCISvcCtx * svchp, OCIError * errhp, OCISession * usrhp, ub4 credt, ub4 mode))            \
  X(sword, OCISessionEnd, (OCISvcCtx * svchp, OCIError * errhp, OCISession * usrhp, ub4 mode))                         \
  X(sword, OCIStmtPrepare,                                                                                             \
    (OCIStmt * stmtp, OCIError * errhp, const OraText *stmt, ub4 stmt_len, ub4 language, ub4 mode))                    \
  X(sword, OCIBindByPos,                                                                                               \
    (OCIStmt * stmtp, OCIBind * *bindp, OCIError * errhp, ub4 position, void *valuep, sb4 value_sz, ub2 dty,           \
     void *indp, ub2 *alenp, ub2 *rcodep, ub4 maxarr_len, ub4 *curelep, ub4 mode))                                     \
  X(sword, OCIBindArrayOfStruct, (OCIBind * bindp, OCIError * errhp, ub4 pvskip, ub4 indskip, ub4 alskip, ub4 rcskip)) \
  X(sword, OCIDefineByPos,                                                                                             \
    (OCIStmt * stmtp, OCIDefine * *defnp, OCIError * errhp, ub4 position, void *valuep, sb4 value_sz, ub2 dty,         \
     void *indp, ub2 *rlenp, ub2 *rcodep, ub4 mode))                                                                   \
  X(sword, OCIDefineArrayOfStruct,                                                                                     \
    (OCIDefine * defnp, OCIError * errhp, ub4 pvskip, ub4 indskip, ub4 rlskip, ub4 rcskip))                            \
  X(sword, OCIStmtExecute,                                                                                             \
    (OCISvcCtx * svchp, OCIStmt * stmtp, OCIError * errhp, ub4 iters, ub4 rowoff, const OCISnapshot *snap_in,          \
     OCISnapshot *snap_out, ub4 mode))                                                                                 \
  X(sword, OCIStmtFetch2, (OCIStmt * stmtp, OCIError * errhp, ub4 nrows, ub2 orientation, sb4 fetchOffset, ub4 mode))  \
  X(sword, OCIParamGet, (const void *hndlp, ub4 htype, OCIError *errhp, void **parmdpp, ub4 pos))                      \
  X(sword, OCIErrorGet,                                                                                                \
    (void *hndlp, ub4 recordno, OraText *sqlstate, sb4 *errcodep, OraText *bufp, ub4 bufsiz, ub4 type))                \
  X(sword, OCINlsCharSetIdToName, (void *hndl, OraText *buf, size_t buflen, ub2 id))                                   \
  X(ub2, OCINlsCharSetNameToId, (void *hndl, const OraText *name))                                                     \
  X(sword, OCINlsCharSetConvert,                                                                                       \
    (void *envhp, OCIError *errhp, ub2 dstid, void *dstp, size_t dstlen, ub2 srcid, const void *srcp, size_t srclen,   \
     size_t *rsize))                                                                                                   \
  X(sword, OCINlsNumericInfoGet, (void *envhp, OCIError *errhp, sb4 *val, ub2 item))                                   \
  X(sword, OCIDescriptorAlloc, (const void *parenth, void **descpp, ub4 type, size_t xtramem_sz, void **usrmempp))     \
  X(sword, OCIDescriptorFree, (void *descp, ub4 type))                                                                 \
  X(sword, OCILobOpen, (OCISvcCtx * svchp, OCIError * errhp, OCILobLocator * locp, ub1 mode))                          \
  X(sword, OCILobIsOpen, (OCISvcCtx * svchp, OCIError * errhp, OCILobLocator * locp, boolean * flag))                  \
  X(sword, OCILobClose, (OCISvcCtx * svchp, OCIError * errhp, OCILobLocator * locp))                                   \
  X(sword, OCILobWrite2,                                                                                               \
    (OCISvcCtx * svchp, OCIError * errhp, OCILobLocator * locp, oraub8 * byte_amtp, oraub8 * char_amtp, oraub8 offset, \
     void *bufp, oraub8 buflen, ub1 piece, void *ctxp, void *cbfp, ub2 csid, ub1 csfrm))                               \
  X(sword, OCILobTrim2, (OCISvcCtx * svchp, OCIError * errhp, OCILobLocator * locp, oraub8 newlen))                    \
  X(sword, OCILobErase2, (OCISvcCtx * svchp, OCIError * errhp, OCILobLocator * locp, oraub8 * amount, oraub8 offset))  \
  X(sword, OCIStmtSetPieceInfo,                                                                                        \
    (void *hndlp, ub4 type, OCIError *errhp, const void *bufp, ub4 *alenp, ub1 piece, const void *indp, ub2 *rcodep))  \
  X(sword, OCIStmtGetPieceInfo,                                                                                        \
    (OCIStmt * stmtp, OCIError * errhp, void **hndlpp, ub4 *typep, ub1 *in_outp, ub4 *iterp, ub4 *idxp, ub1 *piecep))  \
  X(sword, OCITransCommit, (OCISvcCtx * svchp, OCIError * errhp, ub4 flags))                                           \
  X(sword, OCITransRollback, (OCISvcCtx * svchp, OCIError * errhp, ub4 flags))

// Prototypes with C linkage, for the stand-in library that defines them.
extern "C" {
#define KS_OCI_PROTO(ret, name, params) ret name params;
KS_OCI_FUNCTIONS(KS_OCI_PROTO)
#undef KS_OCI_PROTO
}

// The function table the layer calls through.
typedef struct __ks_oci_api_s {
#define KS_OCI_FIELD(ret, name, params) ret(*name) params;
  KS_OCI_FUNCTIONS(KS_OCI_FIELD)
#undef KS_OCI_FIELD
} ks_oci_api_t;

extern ks_oci_api_t x_oci;

// Loads the OCI library and fills x_oci once per process; later calls return at once.
// On failure the layer's error state (code -1) names every library tried and how to
// choose another; a later call tries again.
int ks_oci_load();
// The library file that was loaded ("" before a successful load).
const char *ks_oci_loaded_library();
