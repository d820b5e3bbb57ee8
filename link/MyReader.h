// The answer reader (IN pipe) and the writer class of the command and data-out pipes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "usbio/UsbThread.h"

class USBInterface;

class CMyReader : public CUsbReader {
 public:
  CMyReader(USBInterface* owner, uint64_t linkGeneration);
  ~CMyReader() override;
  void ProcessData(CUsbBuf* buffer) override;
  void PrepareBuffer(CUsbBuf* buffer) override;
  void OnWorkerExit() override;

  // Reads this reader has handed to the driver so far (counted as each is prepared): once a second one
  // is prepared, the first is at the logger, and whatever the logger still had to send is on its way.
  uint32_t ReadsPosted() const { return readsPosted_.load(); }

  // The answer handling, also used directly by tests and the fuzzer: one answer text.
  void HandleAnswer(const std::string& text);
  // The image of this link's update in progress (none when no update waits for its "mem.save" answer).
  const std::vector<uint8_t>& FirmwareImage() const { return firmwareImage_; }

 private:
  void AnswerMemUsed(class tokenizer& tok);
  void AnswerDeviceSoftware(class tokenizer& tok);
  void AnswerMemSave();
  void AnswerFirmwareCheck(class tokenizer& tok);

  USBInterface* owner;
  uint64_t generation;
  std::atomic<uint32_t> readsPosted_{0};
  // Touched only by this reader's worker: a reader of an ended link never reaches a newer link's image.
  std::vector<uint8_t> firmwareImage_;
};

class CMyWriter : public CUsbWriter {
 public:
  CMyWriter(USBInterface* owner, uint64_t linkGeneration);
  ~CMyWriter() override;
  void PrepareBuffer(CUsbBuf* buffer) override;
  void HandleBufferError(CUsbBuf* buffer) override;
  void OnWorkerExit() override;

 private:
  USBInterface* owner;
  uint64_t generation;
};

// The answer text of one IN transfer: the received bytes up to the first zero byte.
std::string answerText(const CUsbBuf* buffer);
