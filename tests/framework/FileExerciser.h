// A model-based file exerciser: seeded random file operations on a few files
// below one folder, every read and every size checked against an in-memory model
// after each step. It drives open with every access mode, O_TRUNC and O_APPEND,
// several handles on one file (also from a child process), read, pread, write
// and pwrite at any offset (past the end too), ftruncate and truncate, shared
// mappings read and written (msync'd, or left for the kernel to write back after
// the descriptor closed), fsync and fdatasync, renames (onto free and taken
// names), and unlinks of open files, in the folder and in up to three folders
// inside it that it makes, renames (with their files, open ones too) and
// removes; at random points it compares the peer's copy with the model, and has the folder remounted, its mount killed,
// or its host restarted or stopped for a while (each at least once a run, where the target offers it).
//
// The same seed runs the same operations on any folder, so a local folder is
// the control that proves the exerciser. A failure names the seed, the step and
// the operations before it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace corvane::testing {

struct ExerciserTarget {
  std::filesystem::path folder;
  // The peer's copy of a file once every file was fsynced; absent when missing.
  // Not set: nothing to compare.
  std::function<std::optional<std::string>(const std::string& name)> peerBytes;
  // Each is called with every file closed and unmapped; not set: not done.
  std::function<void()> remount;  // an orderly unmount and a new mount
  std::function<void()> crash;    // the mount killed outright, then a new mount
  std::function<void()> restartHost;
  // The errno the folder refuses to make a name with, 0 when it keeps the name
  // exactly. Not set: as a Linux folder, which refuses names over 255 bytes.
  std::function<int(const std::string& name)> refusal;
  // Names starting with this belong to another writer in the same folder (the
  // peer's side, writing at the same time): left out of every check here.
  std::string othersPrefix;
  // The errno a rename of a file into another folder fails with; 0 when it moves.
  int crossFolderRename = 0;
  // When set, every name the exerciser makes in the folder starts with this,
  // and it leaves every other name there alone: several exercisers can work
  // in one folder at once, each on its own names.
  std::string ownPrefix;
  // The host stopped and started again, with work done on the mount in
  // between: what needs the peer may then fail with EIO, and must change
  // nothing when it does. Not set: not done.
  std::function<void()> stopHost;
  std::function<void()> startHost;
};

struct ExerciserRun {
  std::uint64_t seed = 0;
  int operations = 2000;
};

struct ExerciserOutcome {
  std::string failure;  // empty when every check held
  std::map<std::string, std::uint64_t> counts;  // operations done, by kind
};

ExerciserOutcome exercise(const ExerciserTarget& target, const ExerciserRun& run);

// Whether `name` is one of the exerciser's names that are not UTF-8 (after any prefix).
bool isNotUtf8(const std::string& name);

}  // namespace corvane::testing
