// Putting a finished temporary file under its final name without ever replacing a kept file.
#pragma once

#include <cstdint>
#include <string>

// path with "_<number>" put before its ".mp4" (appended when it has none): "rec_x.mp4", 2 gives
// "rec_x_2.mp4".
std::u16string NumberedPath(const std::u16string& path, std::uint32_t number);

// Moves temporaryPath to finalPath, or, when a file of that name exists already, to the first free
// of finalPath numbered 2, 3, ... usedPath receives the name the file got. False when the move
// fails for another reason (the temporary file stays where it is) or no free name is found.
bool MoveToFreeName(const std::u16string& temporaryPath, const std::u16string& finalPath,
                    std::u16string& usedPath);
