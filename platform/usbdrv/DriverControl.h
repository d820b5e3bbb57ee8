// Switches of the user-space USB driver and of the built-in Setup API module, for tests.
#pragma once

#include <cstdint>
#include <string>

#include "platform/usbdrv/DriverInterface.h"

namespace usbdrv {

// The interface version the driver-info request reports (kDefaultInterfaceVersion until set).
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
