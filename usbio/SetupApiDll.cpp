#include "usbio/SetupApiDll.h"

namespace {

// GetProcAddress gives a generic function pointer; going through void(*)() keeps the compiler from
// warning about the cast to the real signature.
template <typename Fn>
Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

CSetupApiDll g_SetupApiDll;

CSetupApiDll::CSetupApiDll()
    : module(nullptr),
      GetClassDevs(nullptr),
      DestroyDeviceInfoList(nullptr),
      EnumDeviceInterfaces(nullptr),
      GetDeviceInterfaceDetail(nullptr),
      GetParent(nullptr),
      GetDeviceId(nullptr) {}

CSetupApiDll::~CSetupApiDll() {
  Unload();
}

bool CSetupApiDll::Load() {
  if (module != nullptr) return true;

  module = LoadLibraryA("setupapi.dll");
  if (module == nullptr) return false;

  // Resolve all six even when one is missing; the program needs the whole set.
  GetClassDevs = ProcAs<PFN_SetupDiGetClassDevsA>(GetProcAddress(module, "SetupDiGetClassDevsA"));
  DestroyDeviceInfoList =
      ProcAs<PFN_SetupDiDestroyDeviceInfoList>(GetProcAddress(module, "SetupDiDestroyDeviceInfoList"));
  EnumDeviceInterfaces =
      ProcAs<PFN_SetupDiEnumDeviceInterfaces>(GetProcAddress(module, "SetupDiEnumDeviceInterfaces"));
  GetDeviceInterfaceDetail = ProcAs<PFN_SetupDiGetDeviceInterfaceDetailA>(
      GetProcAddress(module, "SetupDiGetDeviceInterfaceDetailA"));
  GetParent = ProcAs<PFN_CM_Get_Parent>(GetProcAddress(module, "CM_Get_Parent"));
  GetDeviceId = ProcAs<PFN_CM_Get_Device_IDA>(GetProcAddress(module, "CM_Get_Device_IDA"));

  if (GetClassDevs == nullptr || DestroyDeviceInfoList == nullptr || EnumDeviceInterfaces == nullptr ||
      GetDeviceInterfaceDetail == nullptr || GetParent == nullptr || GetDeviceId == nullptr) {
    Unload();
    return false;
  }
  return true;
}

void CSetupApiDll::Unload() {
  if (module == nullptr) return;
  FreeLibrary(module);
  module = nullptr;
  GetClassDevs = nullptr;
  DestroyDeviceInfoList = nullptr;
  EnumDeviceInterfaces = nullptr;
  GetDeviceInterfaceDetail = nullptr;
  GetParent = nullptr;
  GetDeviceId = nullptr;
}
