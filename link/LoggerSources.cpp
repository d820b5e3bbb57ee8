#include "link/LoggerSources.h"

#include "usbio/LoggerSources.h"

LoggerSources::LoggerSources() {
  usbio::EnableLoggerSources();
}

LoggerSources::~LoggerSources() {
  usbio::DisableLoggerSources();
}
