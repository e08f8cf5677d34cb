#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One section of the system report: the output of a command (run without a
// shell, found on PATH), the content of a file, or a text this process
// makes itself under a heading of its own.
struct SystemInfoSource {
  // A command (with `withStorageFolders`, it takes the storage folders
  // given to the collector as its last arguments) or, with no command, a file.
  SystemInfoSource(std::vector<std::string> command, std::string file, bool withStorageFolders = false)
      : command(std::move(command)), file(std::move(file)), withStorageFolders(withStorageFolders) {}
  // A text made by `text` (any thread, never blocking) under `heading`.
  SystemInfoSource(std::string heading, std::function<std::string()> text)
      : heading(std::move(heading)), text(std::move(text)) {}

  std::vector<std::string> command;   // empty for a file or a text
  std::string file;                   // empty for a command or a text
  std::string heading;                // a text's heading
  std::function<std::string()> text;  // empty for a command or a file
  bool withStorageFolders = false;
};

// The system report of the log bundle, and a few facts about the machine.
//
// The report is the text of each source in turn, each under a heading line
// (the command line, the file path or the text's heading, followed by ":")
// and followed by a blank line. A source that gives nothing is never a silent
// hole: a command that is not installed or cannot run, or a file that cannot
// be read, gives one line starting "not available: " with the reason; an
// empty file gives "(empty)"; a command that printed nothing and failed gives
// "no output, exit status N".
// Only a command that printed nothing and succeeded leaves no section. A
// command that runs longer than 10 seconds is killed, its output so far kept;
// each source keeps at most 1 MiB. Bytes that are not UTF-8 are replaced, so
// the report is always text.
//
// Any thread; it blocks for as long as the commands run.
class SystemInfosCollector {
 public:
  // The default sources: `uname -a`, /etc/os-release, `lscpu`,
  // /proc/meminfo; `df` of the volumes holding the storage folders; the
  // PCI devices with their drivers (graphics among them), the USB devices
  // and the input devices (the IR receiver among them); `pactl info`, the
  // audio outputs and ALSA's cards; the desktop session's type and desktop;
  // the run-time versions of GTK, WebKitGTK and GLib.
  SystemInfosCollector();
  // `storageFolders`: where the cache and the downloads are kept (the
  // volumes a full disk would hit); with none, `df` shows every volume.
  explicit SystemInfosCollector(std::vector<SystemInfoSource> sources,
                                std::vector<std::string> storageFolders = std::vector<std::string>());

  static std::vector<SystemInfoSource> defaultSources();

  // The report text (empty when no source gave anything).
  std::string infosFromSystemProfiler() const;
  // Writes the report to `path` atomically (a file beside it, renamed over
  // it), readable by the user only. False, logged, when it cannot be written.
  bool writeInfosIntoFile(const std::string& path) const;

  // Processors configured on the machine.
  uint64_t numberOfProcessors() const;
  // The distribution's name and version with the kernel's release, e.g.
  // "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64".
  std::string operatingSystemVersion() const;
  // The kernel's name, e.g. "Linux".
  std::string operatingSystem() const;

 private:
  std::string sectionText(const SystemInfoSource& source) const;
  // The output, or the line that says why there is none ("" when the
  // command succeeded silently).
  static std::string commandOutput(const std::vector<std::string>& command);
  static std::string fileContent(const std::string& path);

  std::vector<SystemInfoSource> sources_;
  std::vector<std::string> storageFolders_;
};
