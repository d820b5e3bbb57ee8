// Faults the fault campaign found, kept as regression tests.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "common/RecordingWindow.h"
#include "data/Messwert.h"
#include "link/CsvExport.h"
#include "link/LinkAccess.h"
#include "link/USBInterface.h"

namespace {

std::vector<std::string> namesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  return names;
}

// Notes what the folder holds at the moment the error box comes up.
class FolderWatchingWindow : public RecordingWindow {
 public:
  explicit FolderWatchingWindow(std::filesystem::path dir) : dir_(std::move(dir)) {}
  void messageBox(MessageKind kind, const std::string& caption, const std::string& text) override {
    namesAtBox = namesIn(dir_);
    RecordingWindow::messageBox(kind, caption, text);
  }
  std::vector<std::string> namesAtBox;

 private:
  std::filesystem::path dir_;
};

}  // namespace

// A disk that fills up while the export writes (a file size limit, in a child process): the
// half-written temporary used to stay beside the user's file while the error box waited for the
// user, and for good if the program was ended then.
TEST(ExportFailure, HalfWrittenTemporaryIsGoneBeforeTheErrorIsShown) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarnwick-hardening-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string old = "the earlier export\r\n";
  std::ofstream(dir / "out.csv", std::ios::binary) << old;

  auto child = [&] {
    FolderWatchingWindow window(dir);
    USBInterface link(&window);
    for (int i = 0; i < 300; ++i) {
      messwert_tag r{};
      r.year = 2026;
      r.month = 3;
      r.day = 2;
      r.hour = static_cast<uint8_t>(i / 60 % 24);
      r.minute = static_cast<uint8_t>(i % 60);
      LinkAccess(link).measurements().push_back(r);
    }
    LinkAccess(link).memUsed() = 300;
    LinkAccess(link).downloadActive() = true;
    window.answerSaveDialog((dir / "out.csv").string());
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{200, 200};  // the header and a line or two fit; the rest fails while written
    setrlimit(RLIMIT_FSIZE, &limit);
    exportMeasurements(link, RegionalFormat::german());
    const bool ok = window.messageBoxes() == std::vector<std::string>{"File Write Error"} &&
                    window.namesAtBox == std::vector<std::string>{"out.csv"};
    std::fprintf(stderr, "%s\n", ok ? "checked" : "a temporary was still there");
    std::fflush(stderr);
    std::_Exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "checked");
  std::ifstream in(dir / "out.csv", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), old);
  std::filesystem::remove_all(dir);
}
