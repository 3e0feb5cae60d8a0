#pragma once
// What a backup run shows and asks of its window. The main window implements
// it; the core never touches a widget.
#include <string>

namespace tessel {

class RunDisplay {
public:
  virtual ~RunDisplay() = default;
  virtual void ShowCurrentFile(const std::string& text) = 0;
  virtual void ShowArchiveName(const std::string& text) = 0;
  virtual void SetFileProgress(int percent) = 0;   // 0..100
  virtual void SetTotalProgress(int percent) = 0;  // 0..100
  // What the total bar stands for while it is not the files being read
  // ("Проверка архива" while the archive is read back); "" returns it to
  // the files. Nothing by default, for displays without such a bar.
  virtual void ShowTotalStage(const std::string& /*text*/) {}
  virtual void ShowElapsed(const std::string& text) = 0;
  virtual void ShowRemaining(const std::string& text) = 0;
  // The modal "Архивация закончена" message.
  virtual void ShowDoneMessage() = 0;
  // Leaves a close request for the main window, handled later on its thread
  // as if the user had closed it.
  virtual void RequestClose() = 0;
};

}  // namespace tessel
