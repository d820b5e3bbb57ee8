// The loggers a program reaches, for as long as an object of this class lives: its entry point makes
// one before the first scan and lets it go at the end (usbio/LoggerSources.h says which loggers).
#pragma once

class LoggerSources {
 public:
  LoggerSources();
  ~LoggerSources();
  LoggerSources(const LoggerSources&) = delete;
  LoggerSources& operator=(const LoggerSources&) = delete;
};
