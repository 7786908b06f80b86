// Rewriting a file so that a failure never leaves it damaged, so that it
// keeps everything it had but its content, and so that the file rewritten is
// the file that was read.
//
// The file's name is resolved once, when it is opened; the folder that holds
// it stays open, under a lock that makes runs on files of one folder take
// turns, and every later step goes through that folder and checks that the
// name still leads to the file that was read.
//
// A disk file is replaced where that changes nothing but the content: the
// new content is written to a temporary file beside it (an unnamed one where
// the system has them), which then takes over the file's owner, group,
// extended attributes, mode and inode flags, is brought to stable storage,
// gets its name and is renamed over the file in one step. A crash at any
// moment leaves the old file or the new one, and no temporary file survives
// an interrupt.
//
// Where a replacement would change who may do what, or cannot be made (the
// file has further hard links; its metadata cannot be given to a new file;
// the folder takes no new name, or has no room for one; the file is a mount
// point), the file is rewritten in place, under an exclusive lock: room for
// the new length is taken first where the system can take it without
// writing, then only the bytes from the first to the last that differ are
// written, the length is set last, and the file is synced. A failure on the
// way puts the old bytes back; interrupts wait until the file is whole.
//
// A device or a pipe is written back as a stream, to what was read and
// nothing else: never through a link, never to a file made for the purpose.
#ifndef ZUB_RUNTIME_REPLACEMENT_H_
#define ZUB_RUNTIME_REPLACEMENT_H_

#include <span>
#include <string>

#include "runtime/line_file.h"

namespace zub {

// Opens the file `file` is bound to for reading, as OpenRead does, to be
// rewritten by RewriteFile. The file is opened in its place: its name is
// resolved once and its folder held, under a lock that keeps other runs from
// rewriting files there until the rewrite is over, and the file opened is
// the one the name leads to in that folder. Every later step goes through
// that folder, so that nobody who swaps a name on the path can steer the
// rewrite onto another file. From then on, an end of the process removes a
// temporary file that never took its file's place (AtEnd).
void OpenForRewrite(LineFile& file);

// `original` is open for reading through OpenForRewrite; it is closed. First makes sure the
// original may be written at all (a refusal leaves its code and changes
// nothing), then puts `lines`, each ended by CR LF, in its place. A failure
// leaves its code, and the original as it was.
void RewriteFile(LineFile& original, std::span<const std::string> lines);

}  // namespace zub

#endif  // ZUB_RUNTIME_REPLACEMENT_H_
