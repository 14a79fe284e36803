// Putting a finished temporary file under its final name without ever replacing a kept file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

// path with "_<number>" put before its ".mp4" (appended when it has none): "rec_x.mp4", 2 gives
// "rec_x_2.mp4".
std::u16string NumberedPath(const std::u16string& path, std::uint32_t number);

// Gives the finished file that file holds open under temporaryPath the name finalPath, or, when a
// file of that name exists already, the first free of finalPath numbered 2, 3, ... and closes it
// (platform::CloseFileAs: the file is held until it has its final name). usedPath receives the
// name the file got. False when the move fails for another reason or no free name is found: the
// temporary file then stays where it is, and file may still be open (the caller closes it).
bool MoveToFreeName(platform::FileHandle& file, const std::u16string& temporaryPath, const std::u16string& finalPath,
                    std::u16string& usedPath);
