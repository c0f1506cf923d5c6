// How a framework creation request is carried out on the peer: which of the four
// ways follows from the template's kind, whether contents came with it, and
// whether the item may already exist remotely (a reimport). Pure; any thread.
#pragma once

namespace corvane {

namespace FileProviderCreatePolicy {

enum class Plan {
  createDirectory,    // make the folder; contents that came along are ignored
  uploadContents,     // stage the contents and upload them
  createEmptyFile,    // stage an empty file and upload it
  reconcileExisting,  // create nothing: report what the host has at the path
};

// A reimport never creates anything, whatever the template is.
Plan plan(bool isDirectory, bool hasContents, bool mayAlreadyExist);

}  // namespace FileProviderCreatePolicy

}  // namespace corvane
