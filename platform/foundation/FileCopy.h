// Copying file contents between two open descriptors the cheapest way the file
// systems allow: a reflink (FICLONE), else copy_file_range, else read/write.
// A copy keeps the source's holes: a sparse file stays sparse.
#pragma once

namespace foundation {

// Copies everything from `in` to `out`, which must be an empty regular file
// open for writing, from offset 0 whatever either descriptor's position is
// (neither position moves). Returns 0 or an errno value.
int copyFileContents(int in, int out);

// Like copyFileContents, but makes sure the copy is of one state of `in`: when
// the source's size or times change while it is copied, the copy is redone (a
// few times) and EAGAIN is returned if it never holds still. `out` must be empty
// to begin with; it is truncated before every later attempt.
int copyConsistently(int in, int out);

}  // namespace foundation
