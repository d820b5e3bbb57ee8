// Run-time binding of setupapi.dll, so that the program starts without it.
#pragma once

#include "platform/win32.h"

typedef HDEVINFO(WINAPI* PFN_SetupDiGetClassDevsA)(const GUID*, PCSTR, HWND, DWORD);
typedef BOOL(WINAPI* PFN_SetupDiDestroyDeviceInfoList)(HDEVINFO);
typedef BOOL(WINAPI* PFN_SetupDiEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                      PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* PFN_SetupDiGetDeviceInterfaceDetailA)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                           PSP_DEVINFO_DATA);
typedef CONFIGRET(WINAPI* PFN_CM_Get_Parent)(PDEVINST, DEVINST, ULONG);
typedef CONFIGRET(WINAPI* PFN_CM_Get_Device_IDA)(DEVINST, PSTR, ULONG, ULONG);

class CSetupApiDll {
 public:
  CSetupApiDll();
  ~CSetupApiDll();
  CSetupApiDll(const CSetupApiDll&) = delete;
  CSetupApiDll& operator=(const CSetupApiDll&) = delete;

  bool Load();
  void Unload();
  bool IsLoaded() const { return module != nullptr; }

  HMODULE module;
  PFN_SetupDiGetClassDevsA GetClassDevs;
  PFN_SetupDiDestroyDeviceInfoList DestroyDeviceInfoList;
  PFN_SetupDiEnumDeviceInterfaces EnumDeviceInterfaces;
  PFN_SetupDiGetDeviceInterfaceDetailA GetDeviceInterfaceDetail;
  PFN_CM_Get_Parent GetParent;
  PFN_CM_Get_Device_IDA GetDeviceId;
};

// The one instance of the program; loaded on first use, unloaded when the program ends.
extern CSetupApiDll g_SetupApiDll;
