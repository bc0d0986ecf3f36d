#pragma once
// The simulated Windows platform: the subset of the Windows SDK that the
// scheduler and failure code use, declared with the SDK's names, types,
// signatures and vtable method order so that the same sources compile against
// the real SDK on Windows. WCHAR is a 16-bit unit here as on Windows.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#ifdef WINSIM_BUILDING
#define WINSIM_API __attribute__((visibility("default")))
#else
#define WINSIM_API
#endif

#define WINAPI
#define STDMETHODCALLTYPE
#define STDAPI extern "C" WINSIM_API HRESULT

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using UINT32 = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = int;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = DWORD;
using DISPID = LONG;
using DATE = double;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using SIZE_T = std::size_t;
using INT_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;

using WCHAR = char16_t;
using OLECHAR = WCHAR;
using BSTR = OLECHAR*;
using LPOLESTR = OLECHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PCNZWCH = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using HLOCAL = void*;

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using FARPROC = INT_PTR(WINAPI*)();

struct HSTRING__;
using HSTRING = HSTRING__*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator==(REFGUID a, REFGUID b) noexcept { return IsEqualGUID(a, b); }

// HRESULTs, as the SDK's winerror.h spells them.
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define WINSIM_HR(value) static_cast<HRESULT>(static_cast<std::uint32_t>(value))
#define S_OK WINSIM_HR(0x00000000)
#define S_FALSE WINSIM_HR(0x00000001)
#define E_NOTIMPL WINSIM_HR(0x80004001)
#define E_NOINTERFACE WINSIM_HR(0x80004002)
#define E_POINTER WINSIM_HR(0x80004003)
#define E_FAIL WINSIM_HR(0x80004005)
#define E_UNEXPECTED WINSIM_HR(0x8000FFFF)
#define E_ACCESSDENIED WINSIM_HR(0x80070005)
#define E_OUTOFMEMORY WINSIM_HR(0x8007000E)
#define E_INVALIDARG WINSIM_HR(0x80070057)
#define CLASS_E_NOAGGREGATION WINSIM_HR(0x80040110)
#define REGDB_E_CLASSNOTREG WINSIM_HR(0x80040154)
#define CO_E_NOTINITIALIZED WINSIM_HR(0x800401F0)
#define RPC_E_CHANGED_MODE WINSIM_HR(0x80010106)
#define SCHED_E_UNEXPECTEDNODE WINSIM_HR(0x80041316)
#define SCHED_E_NAMESPACE WINSIM_HR(0x80041317)
#define SCHED_E_INVALIDVALUE WINSIM_HR(0x80041318)
#define SCHED_E_MISSINGNODE WINSIM_HR(0x80041319)
#define SCHED_E_MALFORMEDXML WINSIM_HR(0x8004131A)
#define SCHED_E_TOO_MANY_NODES WINSIM_HR(0x8004131D)

#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ONLY_IF_CONNECTED 1251L
#define FACILITY_WIN32 7
// winerror.h: the macro form is __HRESULT_FROM_WIN32 in every SDK. The
// function HRESULT_FROM_WIN32 is `constexpr FORCEINLINE` in C++ in the current
// SDK (10.0.22000: whenever _MSC_VER >= 1900), a plain FORCEINLINE function in
// older ones and on its documentation page ("HRESULT_FROM_WIN32 macro
// (winerror.h)" on Microsoft Learn). Declared here in the older form, so that
// a constant made of it fails here as it fails with those SDKs.
#define __HRESULT_FROM_WIN32(x)    \
    (static_cast<HRESULT>(x) <= 0  \
         ? static_cast<HRESULT>(x) \
         : WINSIM_HR((static_cast<std::uint32_t>(x) & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u))
inline HRESULT HRESULT_FROM_WIN32(unsigned long x) { return __HRESULT_FROM_WIN32(x); }

// Flags and enumerations.
// objbase.h and wtypesbase.h declare these as enumerations, not macros.
enum COINIT { COINIT_APARTMENTTHREADED = 0x2, COINIT_MULTITHREADED = 0x0 };
enum CLSCTX { CLSCTX_INPROC_SERVER = 0x1 };
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
#define MAX_ERROR_MESSAGE_CHARS 512

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_BOOL = 11,
    VT_UNKNOWN = 13
};

enum TASK_LOGON_TYPE {
    TASK_LOGON_NONE = 0,
    TASK_LOGON_PASSWORD = 1,
    TASK_LOGON_S4U = 2,
    TASK_LOGON_INTERACTIVE_TOKEN = 3,
    TASK_LOGON_GROUP = 4,
    TASK_LOGON_SERVICE_ACCOUNT = 5,
    TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD = 6
};
enum TASK_CREATION {
    TASK_VALIDATE_ONLY = 0x1,
    TASK_CREATE = 0x2,
    TASK_UPDATE = 0x4,
    TASK_CREATE_OR_UPDATE = 0x6,
    TASK_DISABLE = 0x8,
    TASK_DONT_ADD_PRINCIPAL_ACE = 0x10,
    TASK_IGNORE_REGISTRATION_TRIGGERS = 0x20
};
enum TASK_RUN_FLAGS {
    TASK_RUN_NO_FLAGS = 0,
    TASK_RUN_AS_SELF = 0x1,
    TASK_RUN_IGNORE_CONSTRAINTS = 0x2,
    TASK_RUN_USE_SESSION_ID = 0x4,
    TASK_RUN_USER_SID = 0x8
};
enum TASK_STATE {
    TASK_STATE_UNKNOWN = 0,
    TASK_STATE_DISABLED = 1,
    TASK_STATE_QUEUED = 2,
    TASK_STATE_READY = 3,
    TASK_STATE_RUNNING = 4
};

struct IUnknown;
struct IDispatch;
struct IRecordInfo;

// VARIANT with the SDK's layout on 64-bit Windows: 24 bytes, vt first.
struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        struct {
            void* pvRecord;
            IRecordInfo* pRecInfo;
        } brecVal;
    };
};
static_assert(sizeof(VARIANT) == 24);

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
struct DISPPARAMS;
struct EXCEPINFO;
struct ITypeInfo;

// --- COM interfaces, in the SDK's vtable order --------------------------------

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IDispatch : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                    DISPID* rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                             DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                             UINT* puArgErr) = 0;

protected:
    ~IDispatch() = default;
};

struct IErrorInfo : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) = 0;

protected:
    ~IErrorInfo() = default;
};

struct IRestrictedErrorInfo : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restrictedDescription,
                                                      BSTR* capabilitySid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;

protected:
    ~IRestrictedErrorInfo() = default;
};

struct ILanguageExceptionErrorInfo : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetLanguageException(IUnknown** languageException) = 0;

protected:
    ~ILanguageExceptionErrorInfo() = default;
};

struct ILanguageExceptionErrorInfo2 : ILanguageExceptionErrorInfo {
    virtual HRESULT STDMETHODCALLTYPE
    GetPreviousLanguageExceptionErrorInfo(ILanguageExceptionErrorInfo2** previousLanguageExceptionErrorInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE CapturePropagationContext(IUnknown* languageException) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    GetPropagationContextHead(ILanguageExceptionErrorInfo2** propagatedLanguageExceptionErrorInfoHead) = 0;

protected:
    ~ILanguageExceptionErrorInfo2() = default;
};

struct ITaskFolder;
struct ITaskFolderCollection;
struct IRegisteredTask;
struct IRegisteredTaskCollection;
struct IRunningTask;
struct IRunningTaskCollection;
struct ITaskDefinition;

struct ITaskService : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** ppFolder) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG flags, IRunningTaskCollection** ppRunningTasks) = 0;
    virtual HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** ppDefinition) = 0;
    virtual HRESULT STDMETHODCALLTYPE Connect(VARIANT serverName, VARIANT user, VARIANT domain, VARIANT password) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* pConnected) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR* pServer) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR* pUser) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR* pDomain) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD* pVersion) = 0;

protected:
    ~ITaskService() = default;
};

struct ITaskFolder : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* pPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** ppFolder) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFolders(LONG flags, ITaskFolderCollection** ppFolders) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateFolder(BSTR subFolderName, VARIANT sddl, ITaskFolder** ppFolder) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR subFolderName, LONG flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** ppTask) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTasks(LONG flags, IRegisteredTaskCollection** ppTasks) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterTask(BSTR path, BSTR xmlText, LONG flags, VARIANT userId,
                                                   VARIANT password, TASK_LOGON_TYPE logonType, VARIANT sddl,
                                                   IRegisteredTask** ppTask) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* pDefinition, LONG flags,
                                                             VARIANT userId, VARIANT password,
                                                             TASK_LOGON_TYPE logonType, VARIANT sddl,
                                                             IRegisteredTask** ppTask) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG securityInformation, BSTR* pSddl) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG flags) = 0;

protected:
    ~ITaskFolder() = default;
};

struct IRegisteredTask : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* pPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* pState) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* pEnabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE Run(VARIANT params, IRunningTask** ppRunningTask) = 0;
    virtual HRESULT STDMETHODCALLTYPE RunEx(VARIANT params, LONG flags, LONG sessionID, BSTR user,
                                            IRunningTask** ppRunningTask) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInstances(LONG flags, IRunningTaskCollection** ppRunningTasks) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE* pLastRunTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG* pLastTaskResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG* pNumberOfMissedRuns) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE* pNextRunTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition** ppDefinition) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Xml(BSTR* pXml) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG securityInformation, BSTR* pSddl) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop(LONG flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRunTimes(const SYSTEMTIME* pstStart, const SYSTEMTIME* pstEnd, DWORD* pCount,
                                                  SYSTEMTIME** pRunTimes) = 0;

protected:
    ~IRegisteredTask() = default;
};

struct IRunningTask : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InstanceGuid(BSTR* pGuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* pPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* pState) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAction(BSTR* pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EnginePID(DWORD* pPID) = 0;

protected:
    ~IRunningTask() = default;
};

// --- Interface and class identifiers ------------------------------------------

extern "C" {
WINSIM_API extern const IID IID_IUnknown;
WINSIM_API extern const IID IID_IDispatch;
WINSIM_API extern const IID IID_IErrorInfo;
WINSIM_API extern const IID IID_IRestrictedErrorInfo;
WINSIM_API extern const IID IID_ILanguageExceptionErrorInfo;
WINSIM_API extern const IID IID_ILanguageExceptionErrorInfo2;
WINSIM_API extern const IID IID_ITaskService;
WINSIM_API extern const IID IID_ITaskFolder;
WINSIM_API extern const IID IID_IRegisteredTask;
WINSIM_API extern const IID IID_IRunningTask;
WINSIM_API extern const CLSID CLSID_TaskScheduler;

// --- Functions -----------------------------------------------------------------

// ole32 / combase
WINSIM_API HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINSIM_API void WINAPI CoUninitialize();
WINSIM_API HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID* ppv);

// oleaut32
WINSIM_API BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINSIM_API UINT WINAPI SysStringLen(BSTR pbstr);
WINSIM_API void WINAPI SysFreeString(BSTR bstrString);
WINSIM_API HRESULT WINAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);
WINSIM_API HRESULT WINAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);

// kernel32
WINSIM_API HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
WINSIM_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINSIM_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINSIM_API DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPWSTR lpBuffer, DWORD nSize, va_list* Arguments);
WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL hMem);

// combase: Windows Runtime strings. RoOriginateError itself is reached only
// through GetProcAddress, as on Windows.
WINSIM_API HRESULT WINAPI WindowsCreateString(PCNZWCH sourceString, UINT32 length, HSTRING* string);
WINSIM_API HRESULT WINAPI WindowsDeleteString(HSTRING string);
}

using PFN_RoOriginateError = BOOL(WINAPI*)(HRESULT error, HSTRING message);
