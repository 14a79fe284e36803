#include "clips/housekeeping.h"

#include <algorithm>
#include <vector>

#include "app/process_state.h"
#include "log/log.h"
#include "platform/file.h"

void RemoveLeftoverTempFiles() {
  const std::u16string& folder = processState.outputFolder;
  for (const char16_t* pattern : {u"\\clip_*.mp4.tmp", u"\\rec_*.mp4.tmp"}) {
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDirectory(folder + pattern, entries)) continue;
    // RemoveFile refuses a file that a handle of this or another process holds open for writing,
    // so a second process on the same folder cannot delete a recording in progress. Only regular
    // files are leftovers of ours: a link, FIFO or folder of that name is someone else's and stays.
    for (const platform::DirEntry& entry : entries) {
      if (entry.kind == platform::EntryKind::File) platform::RemoveFile(folder + u"\\" + entry.name);
    }
  }
}

bool HasFreeSpace(std::uint64_t minimum) {
  platform::MakeDirectory(processState.outputFolder);  // usually exists already
  std::uint64_t available = 0;
  if (!platform::FreeBytesAvailable(processState.outputFolder, available)) return true;
  return available >= minimum;
}

void EnforceFolderLimit(const std::u16string& pattern, std::uint64_t limit) {
  const std::u16string& folder = processState.outputFolder;
  std::vector<platform::DirEntry> listed;
  if (!platform::ListDirectory(folder + pattern, listed)) return;
  std::vector<FileEntry> files;
  std::uint64_t total = 0;
  for (platform::DirEntry& entry : listed) {
    if (entry.kind != platform::EntryKind::File) continue;  // folders, links, FIFOs: never ours
    files.push_back(FileEntry{folder + u"\\" + entry.name, entry.size, entry.lastWrite});
    total += entry.size;
  }
  if (total <= limit) return;
  // Oldest first; equal times by name, so that the order does not depend on the listing.
  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) {
    return a.lastWrite != b.lastWrite ? a.lastWrite < b.lastWrite : a.path < b.path;
  });
  for (const FileEntry& file : files) {
    if (total <= limit) break;
    if (!platform::RemoveFile(file.path)) continue;  // in use or protected: try the next-oldest
    total -= file.size;
    LogLine("removed an old file to stay under the folder limit");
  }
}
