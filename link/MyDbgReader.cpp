#include "link/MyDbgReader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "data/LoggerText.h"
#include "link/USBInterface.h"

CMyDbgReader::CMyDbgReader(USBInterface* owner, uint64_t linkGeneration)
    : owner(owner), generation(linkGeneration) {}

CMyDbgReader::~CMyDbgReader() = default;

void CMyDbgReader::ProcessData(CUsbBuf* buffer) {
  WindowPort& window = *owner->mainWindow;
  if (buffer->status != 0) {
    char text[256];
    CUsbDevice::FormatStatusText(text, sizeof text, buffer->status);
    window.errorMsg(std::string("Error ProcessData DbgInPipe: ") + text);
    return;
  }
  // The message is what was received up to the first zero byte.
  const char* data = static_cast<const char*>(buffer->Data());
  const size_t received = data != nullptr ? std::min(buffer->bytesTransferred, buffer->Size()) : 0;
  const void* zero = received > 0 ? std::memchr(data, 0, received) : nullptr;
  const size_t length =
      zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - data) : received;
  window.infoMsg("DBG>>>" + loggerText(std::string(data != nullptr ? data : "", length)));
}

void CMyDbgReader::OnWorkerExit() {
  AbortTransfers();
  owner->mainWindow->errorMsg("Worker thread exits");
  owner->disconnectLink(generation);
}
