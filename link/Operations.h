// The operations a window or a command line runs on a logger. Each start function does what the
// operation needs of the link (its flags, the busy state and the answer time-out through the link's
// window port) and sends the first command; the link ends the operation with one
// LinkEvent::OperationFinished carrying its outcome, beside the log lines. Callers react to that
// event; none of them sets the link's fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class USBInterface;

namespace operations {

// The answer time-out of a firmware update: the logger takes a while to check the image.
constexpr int kUpdateAnswerTimeoutMs = 20000;

// Download: asks for the record count; the records, the save dialog and the CSV file follow.
bool startDownload(USBInterface& link);
// The first step of a firmware update: the stored record count alone (LinkEvent RecordCount), so that
// the caller can see whether the image would overwrite records. The update goes on with
// startFirmwareUpdate or ends with cancel().
bool startRecordCount(USBInterface& link);
// The update itself: asks for the firmware version; the image, its check and the restart follow.
bool startFirmwareUpdate(USBInterface& link);
// Sets the logger's clock to `clockText` (loggerClockText). Ends with the logger's answer, or as NoAnswer
// when none came within USBInterface::kAnswerTimeoutMs (the link's own timer; no caller's).
bool startSetTime(USBInterface& link, const std::string& clockText);
// A command typed on the service console: its first answer is only shown, and ends the operation (its
// text); the same time-out as a clock setting.
bool startRawCommand(USBInterface& link, const std::string& text);
// The same for a caller that cannot tell a late answer of an earlier exchange from this one's: every
// answer is only shown, and the one named like the command ("mem.used=300" for "mem.used") or the
// logger's refusal of it ("error=mem.usd") ends it.
bool startRawCommandByName(USBInterface& link, const std::string& text);
// Reads `length` bytes (its value `bytes`, checked by the caller) of the logger's memory from
// `address` into a file the save dialog names.
bool startMemoryLoad(USBInterface& link, const std::string& address, const std::string& length,
                     int32_t bytes);
// Writes `data` to the logger's memory at `address`.
bool startMemorySave(USBInterface& link, const std::string& address, const std::string& length,
                     std::vector<uint8_t> data);

// While on, answers are shown and logged but start nothing: a command line lets a logger finish what
// it still sends from an earlier exchange before it sends its own command.
void drainAnswers(USBInterface& link, bool on);
// Reads the link's answer reader has handed to the driver so far (0 without a link): from the second
// on, the first is at the logger, and what it still had to send is on its way.
uint32_t answerReadsPosted(USBInterface& link);

// The caller's answer time-out (the window's timer) expired: the operation under way ends as NoAnswer.
void answerTimedOut(USBInterface& link);
// The caller does not go on with the operation under way (an update refused after the count).
void cancel(USBInterface& link);

// The firmware version in a console command's answer ("device.software=V1.09", as the operation's end
// gives it), or empty when the answer is not to device.software or holds no version.
std::string softwareVersionIn(const std::string& answer);

}  // namespace operations
