// What the built-in Setup API module and the driver share (internal to platform/).
#pragma once

#include <string>

#include "platform/win32.h"

namespace usbdrv {

// kInterfaceClassGuidText as a GUID.
const GUID& InterfaceClassGuid();
bool IsInterfaceClassGuid(const GUID* guid);

// The device-interface path of a device: "\\?\usbdrv#<instance id>#{guid in lower case}".
std::string InterfacePath(const std::string& instanceId);

}  // namespace usbdrv
