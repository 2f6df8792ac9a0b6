// The one header an application includes to reach the driver: Win32, SetupAPI and kernel-streaming names as a
// Windows application has them. Built for Windows they are Microsoft's; on the host they are declared here
// and implemented by platform/host/user over the emulated I/O manager. Never in one translation unit with the
// driver's platform/kernel.h on Windows: the two clash.
#pragma once
#ifdef _WIN32
// The order matters.
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <ks.h>
#include <ksmedia.h>
#include <bdamedia.h>
// clang-format on

// The BDA categories mingw-w64's headers lack, with the values Microsoft documents.
#define ZADIVO_USER_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  extern "C" const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
// clang-format off
ZADIVO_USER_GUID(KSCATEGORY_BDA_NETWORK_TUNER, 0x71985F48, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0);
ZADIVO_USER_GUID(KSCATEGORY_BDA_RECEIVER_COMPONENT, 0xFD0A5AF4, 0xB41D, 0x11D2, 0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0);
// clang-format on
#undef ZADIVO_USER_GUID
#else
#include <cstddef>

#include "platform/bda.h"
#include "platform/ks.h"

typedef PVOID HDEVINFO, HWND, LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000
#define DIGCF_PRESENT 0x00000002
#define DIGCF_DEVICEINTERFACE 0x00000010
#define INFINITE 0xFFFFFFFFUL
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL
#ifndef KSPRIORITY_NORMAL
#define KSPRIORITY_NORMAL 0x40000000
#endif

// Win32 error codes (GetLastError, KsCreatePin's result).
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_COMMAND 22L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_BUSY 170L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_IO_DEVICE 1117L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NO_MATCH 1169L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_INVALID_USER_BUFFER 1784L

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // the request's status while and after it runs
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;
#define SPINT_ACTIVE 0x00000001

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
  DWORD cbSize;
  wchar_t DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

extern "C" {
DWORD GetLastError();
VOID SetLastError(DWORD error);

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR Enumerator, HWND Parent, DWORD Flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

HANDLE CreateFileW(LPCWSTR FileName, DWORD DesiredAccess, DWORD ShareMode,
                   LPSECURITY_ATTRIBUTES SecurityAttributes, DWORD CreationDisposition,
                   DWORD FlagsAndAttributes, HANDLE TemplateFile);
BOOL CloseHandle(HANDLE Object);
BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, LPVOID InBuffer, DWORD InBufferSize,
                     LPVOID OutBuffer, DWORD OutBufferSize, LPDWORD BytesReturned, LPOVERLAPPED Overlapped);
BOOL GetOverlappedResult(HANDLE File, LPOVERLAPPED Overlapped, LPDWORD NumberOfBytesTransferred, BOOL Wait);
BOOL CancelIoEx(HANDLE File, LPOVERLAPPED Overlapped);

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES EventAttributes, BOOL ManualReset, BOOL InitialState, LPCWSTR Name);
BOOL SetEvent(HANDLE Event);
BOOL ResetEvent(HANDLE Event);
DWORD WaitForSingleObject(HANDLE Handle, DWORD Milliseconds);

// ksuser.dll: returns the Win32 error rather than setting it.
DWORD KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                  PHANDLE ConnectionHandle);
}
#endif
