// The state a link shares with its readers, for the link's operations (Operations, CsvExport) and
// for tests that drive a reader or an export without a logger. Front ends use USBInterface's
// queries instead.
#pragma once

#include "link/USBInterface.h"

class LinkAccess {
 public:
  explicit LinkAccess(USBInterface& link) : link_(link) {}

  WindowPort* mainWindow() { return link_.mainWindow; }
  std::array<uint8_t, logger::kMemorySize>& memoryImage() { return link_.memoryImage; }
  std::vector<messwert_tag>& measurements() { return link_.measurements; }
  std::atomic<bool>& downloadActive() { return link_.downloadActive; }
  std::atomic<bool>& memLoadActive() { return link_.memLoadActive; }
  std::atomic<int32_t>& packetCount() { return link_.packetCount; }
  std::atomic<int32_t>& packetsExpected() { return link_.packetsExpected; }
  std::atomic<int32_t>& memUsed() { return link_.memUsed; }
  std::atomic<bool>& connected() { return link_.connected; }
  std::atomic<bool>& rawCommand() { return link_.rawCommand; }
  std::atomic<bool>& countOnly() { return link_.countOnly; }
  std::atomic<bool>& drainingAnswers() { return link_.drainingAnswers; }
  std::atomic<bool>& restartPending() { return link_.restartPending; }
  std::atomic<bool>& setTimePending() { return link_.setTimePending; }
  std::shared_ptr<CMyReader> inReader() { return link_.inReader; }
  std::shared_ptr<CMyDatReader> datInReader() { return link_.datInReader; }
  std::shared_ptr<CMyDbgReader> debugInReader() { return link_.debugInReader; }
  std::shared_ptr<CMyWriter> outWriter() { return link_.outWriter; }

 private:
  USBInterface& link_;
};
