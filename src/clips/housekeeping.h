// Keeping the output folder tidy and bounded: leftover temporary files, free-space checks and the
// size budgets of clips and recordings.
#pragma once

#include <cstdint>
#include <string>

// One file found while enforcing a folder budget.
struct FileEntry {
  std::u16string path;         // outputFolder + "\" + listed name
  std::uint64_t size = 0;      // bytes
  std::uint64_t lastWrite = 0;  // 100-ns units since 1601-01-01 UTC
};

inline constexpr std::uint64_t kClipFreeSpace = 1073741824ull;         // 2^30: "1 GB"
inline constexpr std::uint64_t kRecordingFreeSpace = 5368709120ull;    // 5 x 2^30: "5 GB"
inline constexpr std::uint64_t kClipFolderLimit = 2147483648ull;       // 2^31
inline constexpr std::uint64_t kRecordingFolderLimit = 21474836480ull;  // 20 x 2^30

// Deletes "clip_*.mp4.tmp", then "rec_*.mp4.tmp", in the output folder: what a process left behind
// when it ended in the middle of a write. A file that is still open for writing (by another running
// process) cannot be deleted and stays, and so does anything of those names that is no regular
// file. Start-up only, before anything writes into the folder.
void RemoveLeftoverTempFiles();

// Creates the output folder (one level) and tells whether at least minimum bytes are free for
// this user on its volume. A failed query counts as enough: the write itself will tell.
bool HasFreeSpace(std::uint64_t minimum);

// Lists outputFolder + pattern (pattern begins with a backslash) and, while the files' total
// exceeds limit, deletes the oldest by last-write time. Only regular files count: directories,
// links, FIFOs, sockets and devices are neither counted nor deleted (a link is never followed);
// a file that cannot be deleted is passed over.
void EnforceFolderLimit(const std::u16string& pattern, std::uint64_t limit);
