// The built-in "setupapi.dll": LoadLibraryA/GetProcAddress/FreeLibrary and the six functions that
// enumerate the user-space driver's device interfaces.
//
// The functions live in a private namespace and are reached only through GetProcAddress, exactly as
// a caller that loads the library at run time reaches them on Windows.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HandleTable.h"
#include "platform/usbdrv/DeviceSource.h"
#include "platform/usbdrv/DriverControl.h"
#include "platform/usbdrv/DriverInternal.h"
#include "platform/win32.h"
#include "usbdev/DeviceContract.h"

namespace {

// Configuration manager results used here (cfgmgr32.h values).
constexpr CONFIGRET kCrInvalidPointer = 0x03;
constexpr CONFIGRET kCrInvalidDevnode = 0x05;
constexpr CONFIGRET kCrNoSuchDevnode = 0x0D;
constexpr CONFIGRET kCrBufferSmall = 0x1A;
constexpr DWORD kSpintActive = 0x00000001;
constexpr DWORD kErrorInvalidUserBuffer = 1784;

constexpr char kRootHubId[] = "USB\\ROOT_HUB\\0";

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

struct ListEntry {
  std::string path;
  DEVINST devInst;
};

struct State {
  std::mutex mutex;
  // Module: one value per load generation, so a handle kept past the last FreeLibrary is refused.
  uintptr_t module = 0;
  int moduleRefs = 0;
  std::string withheld;
  std::map<uintptr_t, std::vector<ListEntry>> lists;
  // Device node ids; DEVINST n is nodes[n - 1]. Node 1 is the root hub, the parent of every device.
  std::vector<std::string> nodes{kRootHubId};
};

State& S() {
  static State* state = new State;  // never destroyed: usable during static destruction
  return *state;
}

// The entries of a device list made by SetupDiGetClassDevsA, or none (last error set) for anything else.
const std::vector<ListEntry>* FindListLocked(State& s, HDEVINFO list) {
  auto it = s.lists.find(reinterpret_cast<uintptr_t>(list));
  if (it != s.lists.end()) return &it->second;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

DEVINST NodeForLocked(State& s, const std::string& id) {
  auto it = std::find(s.nodes.begin(), s.nodes.end(), id);
  if (it == s.nodes.end()) it = s.nodes.insert(s.nodes.end(), id);
  return static_cast<DEVINST>(it - s.nodes.begin() + 1);
}

}  // namespace

namespace platform_setupapi {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* guid, PCSTR, HWND, DWORD) {
  if (guid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<std::shared_ptr<usbdrv::UsbDevice>> devices;
  std::vector<const char*> enumerators;
  if (usbdrv::IsInterfaceClassGuid(guid)) devices = usbdrv::ListDevices(&enumerators);
  State& s = S();
  std::vector<ListEntry> entries;
  const uintptr_t value = win32::NewHandleValue();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (size_t i = 0; i < devices.size(); ++i) {
    const std::string id = devices[i]->InstanceId();
    entries.push_back({usbdrv::InterfacePath(id), NodeForLocked(s, std::string(enumerators[i]) + "\\" + id)});
  }
  s.lists.emplace(value, std::move(entries));
  return reinterpret_cast<HDEVINFO>(value);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO list) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.lists.erase(reinterpret_cast<uintptr_t>(list)) == 0) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA device, const GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::vector<ListEntry>* entries = FindListLocked(s, list);
  if (entries == nullptr) return FALSE;
  if (guid == nullptr || data == nullptr) {
    return win32::Fail(ERROR_INVALID_PARAMETER);
  }
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA))) {
    return win32::Fail(kErrorInvalidUserBuffer);
  }
  // Only the driver's class has interfaces; a device record narrows the list to that device.
  DWORD seen = 0;
  if (usbdrv::IsInterfaceClassGuid(guid)) {
    for (size_t i = 0; i < entries->size(); ++i) {
      if (device != nullptr && device->DevInst != (*entries)[i].devInst) continue;
      if (seen++ == index) {
        data->InterfaceClassGuid = *guid;
        data->Flags = kSpintActive;
        data->Reserved = i + 1;  // names the entry for the detail query
        return TRUE;
      }
    }
  }
  return win32::Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD required, PSP_DEVINFO_DATA device) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::vector<ListEntry>* entries = FindListLocked(s, list);
  if (entries == nullptr) return FALSE;
  if (data == nullptr) {
    return win32::Fail(ERROR_INVALID_PARAMETER);
  }
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return win32::Fail(kErrorInvalidUserBuffer);
  }
  if (data->Reserved == 0 || data->Reserved > entries->size()) {
    return win32::Fail(ERROR_INVALID_PARAMETER);
  }
  const ListEntry& entry = (*entries)[data->Reserved - 1];
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.path.size() + 1);
  if (required != nullptr) *required = needed;
  if (detail == nullptr) {
    return win32::Fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : kErrorInvalidUserBuffer);
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return win32::Fail(kErrorInvalidUserBuffer);
  }
  if (detailSize < needed) {
    return win32::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (device != nullptr) {
    if (device->cbSize != sizeof(SP_DEVINFO_DATA)) {
      return win32::Fail(kErrorInvalidUserBuffer);
    }
    device->ClassGuid = usbdrv::InterfaceClassGuid();
    device->DevInst = entry.devInst;
    device->Reserved = 0;
  }
  std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
  return TRUE;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG) {
  if (parent == nullptr) return kCrInvalidPointer;
  *parent = 0;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (node == 0 || node > s.nodes.size()) return kCrInvalidDevnode;
  if (node == 1) return kCrNoSuchDevnode;  // the root hub has no parent here
  *parent = 1;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG length, ULONG) {
  if (buffer == nullptr) return kCrInvalidPointer;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (node == 0 || node > s.nodes.size()) return kCrInvalidDevnode;
  const std::string& id = s.nodes[node - 1];
  if (length < id.size() + 1) return kCrBufferSmall;
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return CR_SUCCESS;
}

}  // namespace platform_setupapi

namespace {
// Through the generic function-pointer type, which the compiler accepts as a deliberate cast; the
// caller casts back to the real type before calling.
template <class F>
FARPROC AsFarProc(F* f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
}
}  // namespace

namespace usbdrv {
void WithholdSetupApiFunction(const std::string& name) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.withheld = name;
}
}  // namespace usbdrv

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  if (name == nullptr || !(EqualsNoCase(name, "setupapi.dll") || EqualsNoCase(name, "setupapi"))) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.moduleRefs++ == 0) s.module = win32::NewHandleValue();
  return reinterpret_cast<HMODULE>(s.module);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (module == nullptr || s.moduleRefs == 0 || reinterpret_cast<uintptr_t>(module) != s.module) {
    return win32::Fail(ERROR_INVALID_HANDLE);
  }
  if (--s.moduleRefs == 0) s.module = 0;
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (module == nullptr || s.moduleRefs == 0 || reinterpret_cast<uintptr_t>(module) != s.module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  struct Export {
    const char* name;
    FARPROC proc;
  };
  static const Export kExports[] = {
      {"SetupDiGetClassDevsA", AsFarProc(&platform_setupapi::SetupDiGetClassDevsA)},
      {"SetupDiDestroyDeviceInfoList", AsFarProc(&platform_setupapi::SetupDiDestroyDeviceInfoList)},
      {"SetupDiEnumDeviceInterfaces", AsFarProc(&platform_setupapi::SetupDiEnumDeviceInterfaces)},
      {"SetupDiGetDeviceInterfaceDetailA", AsFarProc(&platform_setupapi::SetupDiGetDeviceInterfaceDetailA)},
      {"CM_Get_Parent", AsFarProc(&platform_setupapi::CM_Get_Parent)},
      {"CM_Get_Device_IDA", AsFarProc(&platform_setupapi::CM_Get_Device_IDA)},
  };
  if (name != nullptr && s.withheld != name) {
    for (const Export& e : kExports) {
      if (std::strcmp(e.name, name) == 0) return e.proc;  // export names are case-sensitive
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

int usbdrv::OpenDeviceInfoLists() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return static_cast<int>(s.lists.size());
}
