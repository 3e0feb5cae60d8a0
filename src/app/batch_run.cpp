#include "app/batch_run.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <exception>

#include "app/run_controller.h"
#include "app/run_session.h"
#include "app/settings.h"
#include "platform/text.h"

namespace tessel {
namespace {

constexpr const char* kDoneMessage = "Архивация закончена";
constexpr const char* kElapsedLabel = "Прошло ";
constexpr const char* kRemainingLabel = "Осталось ";
constexpr const char* kSeparator = " | ";
constexpr const char* kEllipsis = "…";
constexpr const char* kEraseToEnd = "\033[K";
constexpr std::chrono::milliseconds kRedrawInterval{100};
constexpr size_t kDefaultTerminalWidth = 80;
size_t TerminalWidth(int fd) {
  struct winsize size {};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultTerminalWidth;
}

// The last `chars` characters of text, led by an ellipsis when cut: the end
// of a path tells more than its beginning.
std::string KeepTail(const std::string& text, size_t chars) {
  const size_t count = Utf8Count(text);
  if (count <= chars) return text;
  if (chars == 0) return {};
  return kEllipsis + text.substr(Utf8ByteOffset(text, count - (chars - 1)));
}

}  // namespace

BatchDisplay::BatchDisplay(std::FILE* out, std::FILE* err, bool terminal, size_t width)
    : out_(out), err_(err), terminal_(terminal), width_(width) {}

void BatchDisplay::ShowCurrentFile(const std::string& text) {
  current_file_ = text;
  Redraw(false);
}

void BatchDisplay::ShowArchiveName(const std::string&) {}

void BatchDisplay::SetFileProgress(int) {}

void BatchDisplay::SetTotalProgress(int percent) {
  total_percent_ = percent;
  // The check of the archive reports nothing else: each of its steps shows.
  if (!stage_.empty()) Redraw(false);
}

void BatchDisplay::ShowTotalStage(const std::string& text) {
  stage_ = text;
  if (!text.empty()) Redraw(true);
}

void BatchDisplay::ShowElapsed(const std::string& text) {
  elapsed_ = text;
  // The elapsed time comes last of a progress report: the line is whole now.
  if (text.empty() && current_file_.empty() && remaining_.empty()) {
    EraseLine();
  } else {
    Redraw(false);
  }
}

void BatchDisplay::ShowRemaining(const std::string& text) {
  remaining_ = text;
  if (text.empty() && current_file_.empty() && elapsed_.empty()) EraseLine();
}

void BatchDisplay::ShowDoneMessage() {
  EraseLine();
  std::fprintf(out_, "%s\n", kDoneMessage);
  std::fflush(out_);
}

void BatchDisplay::RequestClose() { close_requested_ = true; }

std::string BatchDisplay::ProgressLine() const {
  std::string line = (stage_.empty() ? std::string() : stage_ + " ") + std::to_string(total_percent_) + "%";
  if (!elapsed_.empty()) line += kSeparator + std::string(kElapsedLabel) + elapsed_;
  if (!remaining_.empty()) line += kSeparator + std::string(kRemainingLabel) + remaining_;
  if (current_file_.empty()) return line;
  line += kSeparator;
  // One column is left free so that the line never wraps.
  const size_t used = Utf8Count(line);
  const size_t room = width_ > used + 1 ? width_ - used - 1 : 0;
  // A name cannot move the cursor, colour the terminal or start a new line.
  return line + KeepTail(EscapeControls(current_file_), room);
}

void BatchDisplay::Redraw(bool force) {
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && line_shown_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  const std::string line = ProgressLine();
  std::fprintf(err_, "\r%s%s", std::string(Utf8Prefix(line, width_ > 0 ? width_ - 1 : 0)).c_str(),
               kEraseToEnd);
  std::fflush(err_);
  line_shown_ = true;
}

void BatchDisplay::EraseLine() {
  if (!terminal_ || !line_shown_) return;
  std::fprintf(err_, "\r%s", kEraseToEnd);
  std::fflush(err_);
  line_shown_ = false;
}

int RunBatch(const StartupOptions& options) {
  const bool terminal = isatty(STDERR_FILENO) == 1;
  BatchDisplay display(stdout, stderr, terminal, terminal ? TerminalWidth(STDERR_FILENO) : 0);
  JobSettings job;
  RunController controller(job, display, options);
  LoadSettings(job, options.ConfigPath);
  controller.ApplyEngineSettings();

  // This thread only waits: the run and every display call happen on the
  // worker, and a stop signal reaches the engine directly.
  RunSession session(controller);
  session.Start();
  session.Wait();
  display.EraseLine();
  const RunReport& report = session.Report();
  WriteRunReport(stderr, report);
  int status = ExitStatusOf(report);

  // A completed or stopped run leaves a close request, and closing saves the
  // job, as the window's close would. After an error the job was saved when
  // the run began (or could not be, and that was the error).
  if (display.CloseRequested() || session.Signal() != 0) {
    try {
      controller.QueryClose();
    } catch (const std::exception& error) {
      WriteProgramMessage(stderr, error.what());
      status = kExitFailed;
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace tessel
