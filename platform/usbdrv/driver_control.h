// Switches of the user-space USB driver and of the built-in Setup API module, for tests.
#pragma once

#include <cstdint>
#include <string>

namespace usbdrv {

// The interface class GUID of the driver's devices, {92614419-12D7-4C4A-A437-A4DAB49B654D}.
constexpr char kInterfaceClassGuidText[] = "{92614419-12D7-4C4A-A437-A4DAB49B654D}";

// Interface version reported by the driver-info request (first u16 of the 12-byte record).
constexpr uint16_t kDefaultInterfaceVersion = 0x0232;
void SetInterfaceVersion(uint16_t version);
uint16_t InterfaceVersion();

// Makes GetProcAddress on the built-in "setupapi.dll" fail for one function name (empty: none).
void WithholdSetupApiFunction(const std::string& name);

// Number of driver handles currently open (device handles and pipe handles), for leak checks.
int OpenDriverHandles();
// Number of Setup API device information lists built and not yet destroyed.
int OpenDeviceInfoLists();
// Number of transfers submitted through the driver that have not completed yet.
int OutstandingTransfers();

}  // namespace usbdrv
