#include "usbio/UsbPipe.h"

static_assert(sizeof(DWORD) == sizeof(uint32_t), "transfer counts are 32-bit");

namespace {

// The buffer keeps its counts as uint32_t; the platform writes them as DWORD.
LPDWORD CountPlace(CUsbBuf* buffer) {
  return reinterpret_cast<LPDWORD>(&buffer->bytesTransferred);
}

}  // namespace

CUsbPipe::CUsbPipe() = default;

CUsbPipe::~CUsbPipe() = default;

uint32_t CUsbPipe::BindPipe(int deviceNumber, uint8_t endpoint, HDEVINFO deviceList,
                            const GUID* interfaceGuid, bool checkVersion) {
  if (!IsOpen()) {
    const uint32_t status = OpenDevice(deviceNumber, deviceList, interfaceGuid, checkVersion);
    if (status != usbstatus::kSuccess) return status;
  }
  return BindEndpoint(endpoint);
}

uint32_t CUsbPipe::BindEndpoint(uint8_t endpoint) {
  return SendRequest(usbioctl::kBindPipe, &endpoint, sizeof(endpoint), nullptr, 0, nullptr);
}

uint32_t CUsbPipe::UnbindPipe() {
  return SendRequest(usbioctl::kUnbindPipe, nullptr, 0, nullptr, 0, nullptr);
}

uint32_t CUsbPipe::AbortTransfers() {
  return SendRequest(usbioctl::kAbortPipe, nullptr, 0, nullptr, 0, nullptr);
}

bool CUsbPipe::SubmitRead(CUsbBuf* buffer) {
  if (ReadFile(deviceHandle, buffer->data, buffer->bytesToTransfer, CountPlace(buffer),
               &buffer->overlapped)) {
    buffer->status = usbstatus::kSuccess;
    return true;
  }
  buffer->status = GetLastError();
  return buffer->status == usbstatus::kPending;
}

bool CUsbPipe::SubmitWrite(CUsbBuf* buffer) {
  if (WriteFile(deviceHandle, buffer->data, buffer->bytesToTransfer, CountPlace(buffer),
                &buffer->overlapped)) {
    buffer->status = usbstatus::kSuccess;
    return true;
  }
  buffer->status = GetLastError();
  return buffer->status == usbstatus::kPending;
}

uint32_t CUsbPipe::WaitForBuffer(CUsbBuf* buffer, uint32_t timeoutMs) {
  // Ended already, or never started: nothing to wait for.
  if (buffer->status != usbstatus::kPending) return buffer->status;

  const DWORD wait = WaitForSingleObject(buffer->overlapped.hEvent, timeoutMs);
  if (wait == WAIT_OBJECT_0) {
    buffer->status = GetOverlappedResult(deviceHandle, &buffer->overlapped, CountPlace(buffer), FALSE)
                         ? usbstatus::kSuccess
                         : GetLastError();
    return buffer->status;
  }
  // Still in flight after a time-out: the status stays pending so that a later wait sees the end.
  if (wait == WAIT_TIMEOUT) return usbstatus::kTimeout;
  return wait;
}

uint32_t CUsbPipe::WriteSync(const void* data, uint32_t* length, uint32_t timeoutMs) {
  CUsbBuf buffer(const_cast<void*>(data), *length);
  if (buffer.overlapped.hEvent == nullptr) return usbstatus::kNoMemory;
  buffer.bytesToTransfer = *length;

  SubmitWrite(&buffer);
  const uint32_t status = WaitForBuffer(&buffer, timeoutMs);
  if (status == usbstatus::kTimeout) {
    // The buffer lives on this stack frame: the write must have ended before we return.
    CancelPendingIo();
    WaitForBuffer(&buffer, INFINITE);
  }
  *length = buffer.bytesTransferred;
  return status;
}
