// Rewriting a file so that a failure never leaves it cut short.
//
// The new content is written to a temporary file beside the original,
// brought to stable storage, and renamed over the original in one step.
// Where the original's folder takes no new file, or the original is not a
// disk file, the original itself is rewritten in place instead.
#ifndef ZUB_RUNTIME_REPLACEMENT_H_
#define ZUB_RUNTIME_REPLACEMENT_H_

#include "runtime/line_file.h"

namespace zub {

// `original` is open for reading; it is closed. First makes sure the
// original may be written at all (a refusal leaves its code and changes
// nothing). Then opens `replacement` for writing the new content.
void OpenReplacement(LineFile& replacement, LineFile& original);

// Closes `replacement` and puts its content in the original's place.
void CommitReplacement(LineFile& replacement);

// Called by the ending sequence: removes a temporary file that was never
// committed. Its handle is released first; nothing is written out.
void DiscardReplacement();

}  // namespace zub

#endif  // ZUB_RUNTIME_REPLACEMENT_H_
